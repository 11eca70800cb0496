#pragma once

#include <QImage>
#include <QString>

namespace qz {

// The save panel's filters; the chosen filter decides the format of a name without one.
inline const char* const kJpegFilter = "JPEG image (*.jpeg *.jpg)";
inline const char* const kPngFilter = "PNG image (*.png)";

// The name a chosen save path is written under: "png", "jpg" and "jpeg" extensions, in any case,
// stay; every other name gets ".png" appended when the PNG filter was chosen, ".jpeg" otherwise
// (picture -> picture.jpeg, picture.JPG and picture.png stay).
QString imageSavePath(const QString& chosenPath, const QString& chosenFilter = QString());

// Encodes image as the path's extension says, PNG (every RGBA byte kept) or JPEG (quality 95,
// transparency flattened onto black), and writes it to path as every Quarzelle file is written
// (platform/AtomicWrite.h: through a symbolic link, an existing file's permissions kept): on any
// failure nothing at path changes, false is returned and error (if given) says why.
bool writeImageAtomically(const QImage& image, const QString& path, QString* error = nullptr);

}  // namespace qz
