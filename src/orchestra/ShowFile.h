#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QVector>

namespace loopstage::orchestra {

// A show as it is kept on disk: the musicians in list order and the camera, as JSON.
//
//   {"format": "loopstage-show", "version": 1,
//    "camera": {"x": 0, "z": -5, "heading": 0, "height": 0.5},
//    "musicians": [{"name": "violin.mp4", "file": "clips/violin.mp4", "visible": true,
//                   "x": 0, "y": 0, "z": 0}]}
//
// A file below the show's folder is stored relative to it, so a show folder can be copied to
// another machine; others absolutely. Plain data and functions: any thread.
struct ShowMusician {
    QString name;
    QString file;  // absolute once read
    bool visible = true;
    float x = 0, y = 0, z = 0;

    bool operator==(const ShowMusician&) const = default;
};

struct ShowCamera {
    float x = 0, z = -5, heading = 0, height = 0.5f;

    bool operator==(const ShowCamera&) const = default;
};

struct Show {
    QVector<ShowMusician> musicians;
    ShowCamera camera;

    bool operator==(const Show&) const = default;
};

inline const QString kShowFormat = QStringLiteral("loopstage-show");
constexpr int kShowVersion = 1;
// Far more than any show of clips needs; a larger file is something else.
constexpr qint64 kMaxShowBytes = 16 << 20;

QByteArray showToJson(const Show& show, const QDir& folder);
// False with a message saying what is wrong and where (a line and column, or a key) when the
// bytes are not a show this program can read; `out` is untouched then.
bool showFromJson(const QByteArray& json, const QDir& folder, Show* out, QString* error);

bool readShow(const QString& path, Show* out, QString* error);
// All or nothing: a crash or a full disk during the write leaves the old file whole.
bool writeShow(const QString& path, const Show& show, QString* error);

}  // namespace loopstage::orchestra
