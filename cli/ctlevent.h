#pragma once
// What the SDK's threads hand to vyxctl's main thread: copies, never borrowed pointers.
#include <kvt_olmoframe.h>
#include <kvt_olmotcpclientvyx.h>

#include <memory>

struct CtlEvent {
    enum Type { Ready, Connection, Frame, Download, Upload };
    Type type = Ready;
    bool commandChannel = false;
    int socketState = 0;
    int connectionState = 0;
    std::shared_ptr<kvt::kvtIOlmoFrame> frame;
    kvt::kvtDownloadProgress download;
    kvt::kvtUploadProgress upload;
};
