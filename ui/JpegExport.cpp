#include "ui/JpegExport.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

#include "platform/AtomicWrite.h"

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

    // Encoded in memory first, so a failure of the file says why in the system's words; then
    // written as every Quarzelle file is (platform/AtomicWrite.h).
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    if (!writer.write(image))
        return fail(writer.errorString());
    std::string reason;
    if (!writeFileAtomically(QFile::encodeName(path).toStdString(), bytes.constData(),
                             std::size_t(bytes.size()), &reason))
        return fail(QString::fromLocal8Bit(reason.c_str()));
    return true;
}

}  // namespace qz
