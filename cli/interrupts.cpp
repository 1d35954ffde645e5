#include "interrupts.h"

#include "output_guard.h"

#include "recovery/filerecovery.h"
#include "recovery/recoveredinfo.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupted = 0;
// The handler writes a byte into wake[1]; the event loop reads wake[0].
int wake[2] = {-1, -1};
QSocketNotifier *notifier = nullptr;
std::function<void()> callback;

void onSignal(int sig) {
    if (interrupted) {
        FileRecoveredInfo::removePartialExports();
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    interrupted = 1;
    OutputGuard::stopExports();
    EngineControl::requestStop();
    if (wake[1] >= 0) {
        const int saved = errno;
        const char byte = 1;
        (void)!::write(wake[1], &byte, 1);
        errno = saved;
    }
}

}  // namespace

void Interrupts::install(std::function<void()> onInterrupt) {
    callback = std::move(onInterrupt);
    if (wake[0] < 0 && ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = new QSocketNotifier(wake[0], QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, [] {
            char bytes[16];
            while (::read(wake[0], bytes, sizeof bytes) > 0) {
            }
            notifier->setEnabled(false);
            if (callback) callback();
        });
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void Interrupts::uninstall() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    delete notifier;
    notifier = nullptr;
    callback = nullptr;
    for (int &fd : wake) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool Interrupts::happened() { return interrupted != 0; }
