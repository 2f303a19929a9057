#include "Mci.h"

#include <algorithm>
#include <cstring>

MciNotifyEvent::MciNotifyEvent(WPARAM code, MCIDEVICEID device)
    : QEvent(eventType()), wParam(code), lParam(device) {}

QEvent::Type MciNotifyEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

namespace {

// Stands in until a real service is installed, so that a missing installation is a clear
// refusal and never a crash.
class NotInstalledService final : public MciService {
public:
    MCIERROR sendCommand(MCIDEVICEID, UINT, DWORD, DWORD_PTR) override {
        return MCIERR_DEVICE_NOT_INSTALLED;
    }
    bool errorString(MCIERROR error, char* text, UINT length) override {
        if (error != MCIERR_DEVICE_NOT_INSTALLED || text == nullptr || length == 0) return false;
        const char* message = "メディアサービスが組み込まれていません";
        // Cut only between characters: never leave half a UTF-8 sequence at the end.
        std::size_t n = std::min<std::size_t>(std::strlen(message), length - 1);
        while (n > 0 && (static_cast<unsigned char>(message[n]) & 0xC0) == 0x80) --n;
        std::memcpy(text, message, n);
        text[n] = '\0';
        return true;
    }
};

NotInstalledService notInstalled;
MciService* installed = nullptr;

MciService& current() { return installed ? *installed : notInstalled; }

}  // namespace

MciService* mciInstallService(MciService* service) {
    MciService* previous = installed;
    installed = service;
    return previous;
}

MciService* mciInstalledService() { return installed; }

MCIERROR mciSendCommandA(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR params) {
    return current().sendCommand(device, command, static_cast<DWORD>(flags), params);
}

bool mciGetErrorStringA(MCIERROR error, char* text, UINT length) {
    if (text != nullptr && length > 0) text[0] = '\0';
    return current().errorString(error, text, length);
}
