#include "ui/JpegExport.h"

#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>

namespace qz {

namespace {

bool isPng(const QString& path) {
    return QFileInfo(path).suffix().compare(QLatin1String("png"), Qt::CaseInsensitive) == 0;
}

}  // namespace

QString imageSavePath(const QString& chosenPath, const QString& chosenFilter) {
    const QString extension = QFileInfo(chosenPath).suffix();
    for (const char* kept : {"png", "jpg", "jpeg"}) {
        if (extension.compare(QLatin1String(kept), Qt::CaseInsensitive) == 0)
            return chosenPath;
    }
    return chosenPath +
           (chosenFilter == QLatin1String(kPngFilter) ? QLatin1String(".png") : QLatin1String(".jpeg"));
}

bool writeImageAtomically(const QImage& image, const QString& path, QString* error) {
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("there is no image to save"));
    const bool png = isPng(path);
    QImage encoded = image;
    if (!png) {
        // JPEG has no alpha: the image as it is shown, over black.
        encoded = QImage(image.size(), QImage::Format_RGB32);
        encoded.fill(Qt::black);
        QPainter(&encoded).drawImage(0, 0, image);
    }

    // QSaveFile writes a temporary file beside the target and renames it only on commit(), so
    // a failed encoding or a full disk never leaves a truncated file in place of an old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QImageWriter writer(&file, png ? "png" : "jpeg");
    if (!png)
        writer.setQuality(95);
    if (!writer.write(encoded)) {
        file.cancelWriting();
        return fail(writer.errorString());
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

}  // namespace qz
