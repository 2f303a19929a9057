// Installs the media service on FFmpeg (Service.h) as the service that mciSendCommandA and
// mciGetErrorStringA reach, for the lifetime of one object:
//
//     QApplication app(argc, argv);
//     mci::MediaServiceInstaller mediaService;
//
// Create it on the UI thread after the application object and before the first window; its
// destructor closes every device (their windows go with them) and puts back the service that
// was installed before, so it must end before the application object does.
//
// It also sets how the process's allocator keeps large blocks (on the heap, up to 32 MB each,
// and 64 MB of free memory on top of it kept for reuse), for the whole process and beyond the
// object's lifetime: a program that opens long files one after another, such as the player and
// its benchmark, then writes far fewer new pages per open.
#pragma once

#include <memory>

class MciService;

namespace mci {

class Service;

class MediaServiceInstaller {
public:
    MediaServiceInstaller();
    ~MediaServiceInstaller();
    MediaServiceInstaller(const MediaServiceInstaller&) = delete;
    MediaServiceInstaller& operator=(const MediaServiceInstaller&) = delete;

private:
    std::unique_ptr<Service> m_service;
    MciService* m_previous = nullptr;
};

}  // namespace mci
