#include "ui/JpegExport.h"

#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

namespace qz {

QString jpegSavePath(const QString& chosenPath) {
    const QString extension = QFileInfo(chosenPath).suffix();
    if (extension.compare(QLatin1String("jpg"), Qt::CaseInsensitive) == 0 ||
        extension.compare(QLatin1String("jpeg"), Qt::CaseInsensitive) == 0) {
        return chosenPath;
    }
    return chosenPath + QLatin1String(".jpeg");
}

bool writeJpegAtomically(const QImage& image, const QString& path, QString* error) {
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("there is no visible image to save"));

    // QSaveFile writes a temporary file beside the target and renames it only on commit(), so
    // a failed encoding or a full disk never leaves a truncated file in place of an old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QImageWriter writer(&file, "jpeg");
    if (!writer.write(image)) {
        file.cancelWriting();
        return fail(writer.errorString());
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

}  // namespace qz
