// Event types of the system's components. The first parameter of every event is the component
// that raises it (Sender).
#pragma once

#include <functional>

class QObject;

using TObject = QObject;
using TNotifyEvent = std::function<void(TObject* Sender)>;
