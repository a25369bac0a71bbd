#include "support/Support.h"

#include <gtest/gtest.h>

#include <QUrl>
#include <map>
#include <mutex>

namespace loopstage::test {

std::string clip(const std::string& name, const ClipSpec& recipe) {
    static std::mutex mutex;
    static std::map<std::string, std::string> written;
    std::lock_guard lock(mutex);
    if (auto it = written.find(name); it != written.end()) return it->second;
    const std::string path = clips::tempClipPath(name);
    std::string error;
    if (!clips::writeClip(path, recipe, &error)) {
        ADD_FAILURE() << "cannot write " << name << ": " << error;
        return {};
    }
    return written[name] = path;
}

QString qclip(const std::string& name, const ClipSpec& recipe) {
    return QString::fromStdString(clip(name, recipe));
}

std::unique_ptr<QMimeData> filesDrag(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
    data->setUrls(urls);
    return data;
}

int frameAtCentre(const uint8_t* pixels, int width, int height, int strideBytes) {
    const clips::Rgba c = clips::centreColour(pixels, width, height, strideBytes);
    return clips::frameIndexOfColour(clips::Rgb{c.r, c.g, c.b});
}

}  // namespace loopstage::test
