#include "ui/GuiThread.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <utility>

namespace qz {

Observation observeOnGuiThread(NotificationCenter& center, const std::string& name, QObject* receiver,
                               std::function<std::function<void()>(const Notification&)> copyOut,
                               GuiDelivery delivery) {
    const QPointer<QObject> guard(receiver);
    return Observation(center, name, nullptr,
                       [guard, copyOut = std::move(copyOut), delivery](const Notification& n) {
                           QObject* target = guard.data();
                           if (!target)
                               return;
                           std::function<void()> call = copyOut(n);
                           if (delivery == GuiDelivery::DirectOnReceiverThread &&
                               QThread::currentThread() == target->thread()) {
                               call();
                               return;
                           }
                           QMetaObject::invokeMethod(
                               target,
                               [guard, call = std::move(call)] {
                                   if (guard)
                                       call();
                               },
                               Qt::QueuedConnection);
                       });
}

Observation observeOnGuiThread(NotificationCenter& center, const std::string& name, QObject* receiver,
                               std::function<void()> call, GuiDelivery delivery) {
    return observeOnGuiThread(
        center, name, receiver, [call = std::move(call)](const Notification&) { return call; }, delivery);
}

}  // namespace qz
