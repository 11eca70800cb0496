#pragma once

#include <functional>
#include <string>

#include "platform/NotificationCenter.h"

class QObject;

namespace qz {

// How a notification reaches the receiver's thread.
enum class GuiDelivery {
    Queued,                 // always a queued call, even when posted on the receiver's thread
    DirectOnReceiverThread  // at once when posted on the receiver's thread, queued from any other
};

// Observes name on center for receiver. Notifications may be posted on any thread; their handler
// runs there and must not touch the receiver: copyOut takes what it needs out of the
// notification (its user info lives only as long as the post) and returns the call to make on
// the receiver's thread. Deliveries still queued when the receiver is destroyed are dropped.
// The returned observation ends the registration; a receiver resets it first thing in its
// destructor, so that no handler runs while it is being torn down.
Observation observeOnGuiThread(NotificationCenter& center, const std::string& name, QObject* receiver,
                               std::function<std::function<void()>(const Notification&)> copyOut,
                               GuiDelivery delivery = GuiDelivery::Queued);

// The same for notifications whose contents the receiver does not need.
Observation observeOnGuiThread(NotificationCenter& center, const std::string& name, QObject* receiver,
                               std::function<void()> call, GuiDelivery delivery = GuiDelivery::Queued);

}  // namespace qz
