#include "app/VolumeStatus.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>

#include "data/Data.h"

namespace qz {

QString volumeSummary(const VolumeData& volume) {
    if (!volume.hasData())
        return QObject::tr("No volume");
    // One pass over the samples (the histogram leaves the air out); tens of milliseconds for 512^3.
    const auto [lowest, highest] =
        std::minmax_element(volume.densities(), volume.densities() + volume.sampleCount());
    QString summary = QObject::tr("%1   %2 × %3 × %4 voxels")
                          .arg(QFileInfo(QString::fromStdString(volume.filename())).fileName())
                          .arg(volume.xDim())
                          .arg(volume.yDim())
                          .arg(volume.zDim());
    const std::array<double, 3>& spacing = volume.spacing();
    summary += QObject::tr("   spacing %1 × %2 × %3 mm")
                   .arg(spacing[0], 0, 'g', 4)
                   .arg(spacing[1], 0, 'g', 4)
                   .arg(spacing[2], 0, 'g', 4);
    summary += QObject::tr("   densities %1 – %2").arg(*lowest).arg(*highest);
    return summary;
}

namespace {

// The loader's reasons (after "Data:Error: ") and their plain wording; %1 .. %4 are the captures.
struct Wording {
    const char* reason;
    const char* plain;
};
const Wording kWordings[] = {
    {"^file is shorter than its header promises \\((\\d+) of (\\d+) bytes\\)$",
     QT_TRANSLATE_NOOP("qz", "The file is shorter than its header says: %1 of %2 bytes.")},
    {"^volume of (\\d+) x (\\d+) x (\\d+) samples is too large to load \\((\\d+) MiB needed\\)$",
     QT_TRANSLATE_NOOP("qz",
                       "A volume of %1 × %2 × %3 voxels needs %4 MiB, more memory than this computer has.")},
    {"^not enough memory to load the volume$",
     QT_TRANSLATE_NOOP("qz", "There is not enough memory to load the volume.")},
    {"^cannot read file \\((.*)\\)$", QT_TRANSLATE_NOOP("qz", "The file could not be read: %1.")},
    {"^file changed while reading$", QT_TRANSLATE_NOOP("qz", "The file changed while it was being read.")},
};

}  // namespace

QString plainLoadError(const QString& loaderLine, const QString& path) {
    QString reason = loaderLine;
    reason.remove(QRegularExpression(QStringLiteral("^Data:Error: ")));
    // A scan reader's line names the file first; the status bar names it already.
    const QString named = QFileInfo(QDir::cleanPath(path)).fileName() + QLatin1String(": ");
    if (reason.startsWith(named))
        reason = reason.mid(named.size());
    if (reason == QLatin1String("file < 6 Bytes")) {
        // The loader says this too for a file it cannot open.
        const QFileInfo file(path);
        if (!file.exists())
            return QObject::tr("The file does not exist.");
        if (file.isDir())
            return QObject::tr("This is a folder, not a volume file.");
        if (!file.isFile())
            return QObject::tr("This is not a regular file.");
        if (!file.isReadable())
            return QObject::tr("You have no permission to read the file.");
        return QObject::tr("The file is shorter than a volume header (6 bytes).");
    }
    for (const Wording& wording : kWordings) {
        const QRegularExpressionMatch m = QRegularExpression(QLatin1String(wording.reason)).match(reason);
        if (!m.hasMatch())
            continue;
        QString plain = QCoreApplication::translate("qz", wording.plain);
        for (int i = 1; i <= m.lastCapturedIndex(); ++i)
            plain = plain.arg(m.captured(i));
        return plain;
    }
    if (reason.isEmpty())
        return QObject::tr("The file could not be loaded.");
    return reason.left(1).toUpper() + reason.mid(1) + (reason.endsWith('.') ? "" : ".");
}

}  // namespace qz
