#include "ui/JpegExport.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>

#include "platform/AtomicWrite.h"

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

    // Encoded in memory first, so a failure of the file says why in the system's words; then
    // written as every Quarzelle file is (platform/AtomicWrite.h).
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, png ? "png" : "jpeg");
    if (!png)
        writer.setQuality(95);
    if (!writer.write(encoded))
        return fail(writer.errorString());
    std::string reason;
    if (!writeFileAtomically(QFile::encodeName(path).toStdString(), bytes.constData(),
                             std::size_t(bytes.size()), &reason))
        return fail(QString::fromLocal8Bit(reason.c_str()));
    return true;
}

}  // namespace qz
