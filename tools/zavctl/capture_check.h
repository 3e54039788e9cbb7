// What zavctl tells about capture files once its port has closed: whether a
// capture is whole (the library cannot say, so the file does: a whole one
// ends in its end note), and where a session on replay:FILE left the
// recording (from a capture of the session itself).
#pragma once

#include <string>

namespace zavctl {

// True when the capture at path ended normally; otherwise *why says what is
// wrong with it, as a sentence.
bool capture_is_whole(const std::string &path, std::string *why);

struct ReplayReport {
    bool left = false; // the session sent a request the recording does not have there
    std::string text;  // a sentence: how far the session followed the recording
};

// Compares the requests of a session (its own capture) with those of the
// recording it was replayed against, one request a record.
ReplayReport compare_with_recording(const std::string &recording, const std::string &session);

} // namespace zavctl
