#pragma once

#include <QString>

class QWidget;

namespace qz {

// Asks for the name to save under with Qt's own save panel, which appends the chosen filter's first
// extension (defaultSuffix until the user picks another filter) to a name without one before it asks
// about an existing file: the name it confirms is the name returned. filter may hold several
// filters separated by ";;"; chosenFilter (if given) receives the one selected. An empty string
// when the user cancels.
QString askSavePath(QWidget* parent, const QString& title, const QString& folder, const QString& filter,
                    const QString& defaultSuffix, QString* chosenFilter = nullptr);

}  // namespace qz
