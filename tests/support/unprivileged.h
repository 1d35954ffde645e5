// Checks run as an unprivileged user, in a child process of a test that
// runs as root.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lmrtest {

// The user the checks run as (nobody).
const uid_t kNobody = 65534;

// Runs `check` in a child process as kNobody and returns what it said; sets
// `why` and returns a null string when that cannot be done.
inline QString asNobody(const std::function<QString()> &check, QString *why) {
    if (geteuid() != 0) {
        *why = QStringLiteral("not running as root: cannot switch to an unprivileged user");
        return QString();
    }
    int fds[2];
    if (pipe(fds) != 0) {
        *why = QStringLiteral("no pipe");
        return QString();
    }
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(3);
        const QByteArray said = check().toUtf8();
        const bool written = ::write(fds[1], said.constData(), size_t(said.size())) == said.size();
        _exit(written ? 0 : 4);
    }
    ::close(fds[1]);
    QByteArray said;
    char buf[512];
    for (ssize_t n; pid > 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, int(n));
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = QStringLiteral("the unprivileged child failed (status %1)").arg(status);
        return QString();
    }
    return QString::fromUtf8(said.isNull() ? QByteArray("") : said);
}

}  // namespace lmrtest
