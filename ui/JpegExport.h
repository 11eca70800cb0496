#pragma once

#include <QImage>
#include <QString>

namespace qz {

// The name a chosen save path is written under: "jpg" and "jpeg" extensions, in any case, stay;
// every other name gets ".jpeg" appended (picture -> picture.jpeg, picture.JPG stays).
QString jpegSavePath(const QString& chosenPath);

// Encodes image as JPEG (the encoder's default quality) and writes it to path as every Quarzelle
// file is written (platform/AtomicWrite.h: through a symbolic link, an existing file's permissions
// kept): on any failure nothing at path changes, false is returned and error (if given) says why.
bool writeJpegAtomically(const QImage& image, const QString& path, QString* error = nullptr);

}  // namespace qz
