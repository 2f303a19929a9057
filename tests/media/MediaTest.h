// Shared set-up of the media device tests: a scripted service, a scripted modal host that catches
// error boxes, and one component.
#pragma once

#include "Exception.h"
#include "MPlayer.h"
#include "ScriptedMci.h"
#include "ScriptedModal.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class MediaTest : public ::testing::Test {
protected:
    ScriptedMci mci;
    ScriptedModal modal;
    std::unique_ptr<TMediaPlayer> player = std::make_unique<TMediaPlayer>();

    // Opens clip.avi on the scripted device and forgets the commands that took.
    void OpenDevice();
    // The commands sent since the last clear, by name, e.g. "MCI_STATUS MCI_PLAY".
    std::string Sent() const;
    // Delivers posted completion messages.
    static void Deliver();
    DWORD_PTR OwnWindow() const { return mciCallbackOf(player.get()); }
    std::vector<QString> ErrorBoxes() const { return modal.texts(fw::BoxKind::Error); }
};

// Runs an operation that must raise EMCIDeviceError; returns its message ("" when none).
template <class Operation>
std::string DeviceError(Operation&& operation) {
    try {
        operation();
    } catch (const EMCIDeviceError& error) {
        return error.what();
    }
    return "";
}
