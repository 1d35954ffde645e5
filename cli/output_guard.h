// What lumarek-carve may write besides its exports: the report and the log
// never go onto the input, a device or the storage being scanned, and a
// path that cannot be written is found before the scan.  Also the process's
// stance on its own output: a closed standard output or a file-size limit
// fails a write instead of ending the run, and an interrupted run stops
// taking on new exports.
#pragma once

#include <QString>

namespace OutputGuard {

// Why the file `path` (what = "report" or "log") must not or cannot be
// written during a scan of `input`; empty when it may.  `sameStorageAllowed`
// is the user's consent to write onto the storage being scanned; it never
// allows writing over the input itself or over a block device.
// `regularOnly`: the file is replaced as a whole (the report), so only a
// regular file or a new name will do; a log may also go to a character
// device or a pipe such as /dev/null or /dev/stderr.
QString fileProblem(const QString &what, const QString &path, const QString &input, bool sameStorageAllowed,
                    bool regularOnly);

// SIGPIPE and SIGXFSZ ignored for the whole process: writing to a closed
// pipe fails with EPIPE and a write past `ulimit -f` with EFBIG.
void failWritesInsteadOfSignals();

// Set once (async-signal-safe) when the user interrupts: exports not yet
// begun are skipped, the one under way finishes.
void stopExports();
bool exportsStopped();

}  // namespace OutputGuard
