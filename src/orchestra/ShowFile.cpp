#include "orchestra/ShowFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cmath>

namespace loopstage::orchestra {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("ShowFile", text); }

QString storedPath(const QString& file, const QDir& folder) {
    const QString absolute = QFileInfo(file).absoluteFilePath();
    const QString relative = folder.relativeFilePath(absolute);
    if (!relative.startsWith(QLatin1String("../")) && relative != QLatin1String("..") &&
        !QDir::isAbsolutePath(relative))
        return relative;
    return absolute;
}

// One JSON object read key by key; the first fault is kept with the key's path.
class Reader {
public:
    Reader(const QJsonObject& object, QString where, QString* error)
        : object_(object), where_(std::move(where)), error_(error) {}

    bool number(const char* key, float* out, bool required) {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (v.isUndefined() && !required) return true;
        if (!v.isDouble()) return fail(key, tr("a number is expected"));
        const double d = v.toDouble();
        if (!std::isfinite(d) || std::fabs(d) > 1e6) return fail(key, tr("out of range"));
        *out = static_cast<float>(d);
        return true;
    }
    bool boolean(const char* key, bool* out) {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (v.isUndefined()) return true;
        if (!v.isBool()) return fail(key, tr("true or false is expected"));
        *out = v.toBool();
        return true;
    }
    bool string(const char* key, QString* out, bool required) {
        const QJsonValue v = object_.value(QLatin1String(key));
        if (v.isUndefined() && !required) return true;
        if (!v.isString() || (required && v.toString().isEmpty()))
            return fail(key, tr("a text is expected"));
        *out = v.toString();
        return true;
    }
    bool fail(const char* key, const QString& what) {
        *error_ = QStringLiteral("%1%2: %3").arg(where_, QLatin1String(key), what);
        return false;
    }

private:
    const QJsonObject& object_;
    QString where_;
    QString* error_;
};

}  // namespace

QByteArray showToJson(const Show& show, const QDir& folder) {
    QJsonArray musicians;
    for (const ShowMusician& m : show.musicians) {
        musicians.append(QJsonObject{{QStringLiteral("name"), m.name},
                                     {QStringLiteral("file"), storedPath(m.file, folder)},
                                     {QStringLiteral("visible"), m.visible},
                                     {QStringLiteral("x"), m.x},
                                     {QStringLiteral("y"), m.y},
                                     {QStringLiteral("z"), m.z}});
    }
    const QJsonObject camera{{QStringLiteral("x"), show.camera.x},
                             {QStringLiteral("z"), show.camera.z},
                             {QStringLiteral("heading"), show.camera.heading},
                             {QStringLiteral("height"), show.camera.height}};
    const QJsonObject root{{QStringLiteral("format"), kShowFormat},
                           {QStringLiteral("version"), kShowVersion},
                           {QStringLiteral("camera"), camera},
                           {QStringLiteral("musicians"), musicians}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool showFromJson(const QByteArray& json, const QDir& folder, Show* out, QString* error) {
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        const QByteArray before = json.left(parse.offset);
        const int line = static_cast<int>(before.count('\n')) + 1;
        const int column = static_cast<int>(parse.offset - (before.lastIndexOf('\n') + 1)) + 1;
        *error = tr("not a show: %1 at line %2, column %3")
                     .arg(parse.errorString())
                     .arg(line)
                     .arg(column);
        return false;
    }
    const QJsonObject root = document.object();
    if (!document.isObject() || root.value(QLatin1String("format")).toString() != kShowFormat) {
        *error = tr("not a show of this program: \"format\" is not \"%1\"").arg(kShowFormat);
        return false;
    }
    const QJsonValue version = root.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() < 1 ||
        version.toDouble() != std::floor(version.toDouble())) {
        *error = tr("version: a whole number from 1 is expected");
        return false;
    }
    if (version.toDouble() > kShowVersion) {
        *error = tr("made by a newer version of this program (show version %1; this one reads "
                    "up to %2)")
                     .arg(version.toDouble())
                     .arg(kShowVersion);
        return false;
    }

    Show show;
    const QJsonValue cameraValue = root.value(QLatin1String("camera"));
    if (!cameraValue.isUndefined()) {
        if (!cameraValue.isObject()) {
            *error = tr("camera: an object is expected");
            return false;
        }
        const QJsonObject camera = cameraValue.toObject();
        Reader r(camera, QStringLiteral("camera."), error);
        if (!r.number("x", &show.camera.x, false) || !r.number("z", &show.camera.z, false) ||
            !r.number("heading", &show.camera.heading, false) ||
            !r.number("height", &show.camera.height, false))
            return false;
    }
    const QJsonValue list = root.value(QLatin1String("musicians"));
    if (!list.isArray()) {
        *error = tr("musicians: a list is expected");
        return false;
    }
    const QJsonArray musicians = list.toArray();
    for (qsizetype i = 0; i < musicians.size(); ++i) {
        const QString where = QStringLiteral("musicians[%1].").arg(i);
        if (!musicians[i].isObject()) {
            *error = where.chopped(1) + QStringLiteral(": ") + tr("an object is expected");
            return false;
        }
        const QJsonObject object = musicians[i].toObject();
        Reader r(object, where, error);
        ShowMusician m;
        if (!r.string("file", &m.file, true) || !r.string("name", &m.name, false) ||
            !r.boolean("visible", &m.visible) || !r.number("x", &m.x, false) ||
            !r.number("y", &m.y, false) || !r.number("z", &m.z, false))
            return false;
        m.file = QDir::cleanPath(folder.absoluteFilePath(m.file));
        if (m.name.isEmpty()) m.name = QFileInfo(m.file).fileName();
        show.musicians.append(std::move(m));
    }
    *out = std::move(show);
    return true;
}

bool readShow(const QString& path, Show* out, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.size() > kMaxShowBytes) {
        *error = tr("too large to be a show");
        return false;
    }
    return showFromJson(file.read(kMaxShowBytes), QFileInfo(path).absoluteDir(), out, error);
}

bool writeShow(const QString& path, const Show& show, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray json = showToJson(show, QFileInfo(path).absoluteDir());
    if (file.write(json) != json.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

}  // namespace loopstage::orchestra
