// Writing a result file so that nothing is lost or clobbered.
//
// A regular file (or a name that does not exist yet) is replaced at once or
// not at all: the bytes go to a new temporary file in the same directory,
// created exclusively (never through a link someone planted under its name),
// every write checked, synced and closed, then renamed over the target. On
// any failure the temporary file is removed and the earlier file stays.
//
// A target that exists and is not a regular file (a FIFO, a character
// device such as /dev/null, or /dev/stdout) is written in place instead of
// being replaced by a regular file.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace io {

// Writes bytes to path (see above). On failure returns false and, when error
// is given, sets it to the reason (strerror text).
bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string* error);

// Encodes image in memory in the format of path's extension (e.g. .png) and
// writes it with WriteFileAtomically.
bool WriteImageAtomically(const std::string& path, const cv::Mat& image, std::string* error);

// Whether path can be written, checked before the work that produces it: a
// target written in place must allow writing; otherwise new files must be
// creatable in its directory (tried with a temporary file, removed again).
// A target the write would refuse (a directory) fails the check too.
bool CanWrite(const std::string& path, std::string* error);

// Whether path leads to this process's standard output (/dev/stdout, or a
// FIFO or file that standard output is).
bool IsStandardOutput(const std::string& path);

// The directory part of path: "." without a slash, "/" for a name in the root.
std::string DirectoryOf(const std::string& path);

// Removes the temporary file being written, if any. Async-signal-safe: for
// handlers of signals that end the process.
void RemoveTemporaryFileFromSignal();

}  // namespace io
