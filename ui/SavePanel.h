#pragma once

#include <QString>

class QWidget;

namespace qz {

// Asks for the name to save under with Qt's own save panel, which appends defaultSuffix to a name
// without one before it asks about an existing file: the name it confirms is the name returned.
// An empty string when the user cancels.
QString askSavePath(QWidget* parent, const QString& title, const QString& folder, const QString& filter,
                    const QString& defaultSuffix);

}  // namespace qz
