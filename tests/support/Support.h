#pragma once

#include <QMimeData>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "clips/Clips.h"

// What most test files need: clips written on the spot, a file manager's drag, and the
// generated frame a picture shows. Waiting for a condition is QTest::qWaitFor.
namespace loopstage::test {

using clips::ClipSpec;

// The path of a clip written under `name` in this process's temp folder; written once per
// process and name. A clip that cannot be written fails the test and gives "".
std::string clip(const std::string& name, const ClipSpec& recipe = {});
QString qclip(const std::string& name, const ClipSpec& recipe = {});

// Local files as a file manager drags them (text/uri-list).
std::unique_ptr<QMimeData> filesDrag(const QStringList& paths);

// Which generated frame an RGBA picture (top row first) shows at its centre, or -1.
int frameAtCentre(const uint8_t* pixels, int width, int height, int strideBytes);

}  // namespace loopstage::test

// Failures name strings and values as text rather than as byte dumps.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QVariant& value, std::ostream* os) {
    *os << value.typeName() << ' ' << value.toString().toStdString();
}
