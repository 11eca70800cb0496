#include "ui/TransferFktHistory.h"

#include <QUndoCommand>
#include <QUndoStack>

namespace qz {

namespace {

// A step between two sets of reference points; pushed once its change is in force.
class PointsCommand : public QUndoCommand {
  public:
    PointsCommand(TransferFkt& fkt, TransferFktPoints before, TransferFktPoints after, const QString& text,
                  int mergeKey)
        : QUndoCommand(text),
          fkt_(fkt),
          before_(std::move(before)),
          after_(std::move(after)),
          mergeKey_(mergeKey) {}

    void undo() override { fkt_.setReferencePoints(before_); }
    void redo() override {
        if (pushed_)
            fkt_.setReferencePoints(after_);
        pushed_ = true;
    }
    int id() const override { return mergeKey_ != 0 ? mergeKey_ : -1; }
    bool mergeWith(const QUndoCommand* other) override {
        after_ = static_cast<const PointsCommand*>(other)->after_;
        setObsolete(after_ == before_);  // a run that ends where it began is no step
        return true;
    }

  private:
    TransferFkt& fkt_;
    TransferFktPoints before_;
    TransferFktPoints after_;
    int mergeKey_;
    bool pushed_ = false;
};

}  // namespace

TransferFktHistory::TransferFktHistory(TransferFkt& fkt, QObject* parent)
    : QObject(parent), fkt_(fkt), stack_(new QUndoStack(this)) {
    begin();
}

void TransferFktHistory::begin() {
    before_ = fkt_.referencePoints();
}

void TransferFktHistory::record(const QString& text, int mergeKey) {
    TransferFktPoints after = fkt_.referencePoints();
    if (after == before_)
        return;
    stack_->push(new PointsCommand(fkt_, before_, after, text, mergeKey));
    before_ = std::move(after);
}

void TransferFktHistory::apply(const TransferFktPoints& points, const QString& text) {
    begin();
    fkt_.setReferencePoints(points);
    record(text);
}

}  // namespace qz
