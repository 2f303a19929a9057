#include "MediaTest.h"

#include "Exception.h"

#include <QCoreApplication>

void MediaTest::OpenDevice() {
    player->SetFileName("clip.avi");
    player->Open();
    mci.clear();
}

std::string MediaTest::Sent() const {
    std::string names;
    for (const MciCall& call : mci.calls) {
        if (!names.empty()) names += ' ';
        names += mciCommandName(call.command);
    }
    return names;
}

void MediaTest::Deliver() { QCoreApplication::sendPostedEvents(nullptr, MciNotifyEvent::eventType()); }
