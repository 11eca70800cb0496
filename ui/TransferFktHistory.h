#pragma once

#include <QObject>
#include <QString>

#include "transfer/TransferFkt.h"

class QUndoStack;

namespace qz {

// The undo history of a transfer function. Each step keeps the reference points before and after
// it, so undo and redo give back exactly the tables that were there.
class TransferFktHistory : public QObject {
    Q_OBJECT

  public:
    explicit TransferFktHistory(TransferFkt& fkt, QObject* parent = nullptr);

    TransferFkt& fkt() const { return fkt_; }
    QUndoStack* stack() const { return stack_; }

    // Notes the points as they stand; the next record() compares against them.
    void begin();
    // One step named text from the points at begin() to the points now, when they differ. Steps
    // in a row with the same mergeKey (not 0) become one: a run of nudges, a drag in the colour panel.
    void record(const QString& text, int mergeKey = 0);
    // Makes points the function's as one step.
    void apply(const TransferFktPoints& points, const QString& text);

  private:
    TransferFkt& fkt_;
    QUndoStack* stack_;
    TransferFktPoints before_;
};

}  // namespace qz
