// Tintguard's entry: one window per user; a second launch hands its files to the first.
#include "app/app_delegate.h"
#include "app/batch.h"
#include "app/single_instance.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// For the start-up benchmark: says "first paint" on standard output when the first widget paints,
// then quits, so that a harness can time launch to first frame from outside.
class FirstPaintProbe : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            std::puts("first paint");
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool seen_ = false;
};

// Files named on the command line (the desktop passes paths, some pass file URLs).
QList<QUrl> commandLineFiles(const QStringList& arguments) {
    QList<QUrl> files;
    const QDir here = QDir::current();
    for (const QString& argument : arguments) {
        if (argument.isEmpty()) continue;
        if (argument.startsWith(QLatin1String("file:")))
            files << QUrl(argument);
        else
            files << QUrl::fromLocalFile(QDir::cleanPath(here.absoluteFilePath(argument)));
    }
    return files;
}

// A development aid: TG_SCREENSHOT=path saves the window once the launch batch is done, then quits.
void scheduleScreenshot(tg::AppDelegate& delegate, const QString& path) {
    auto* poll = new QTimer(&delegate);
    QObject::connect(poll, &QTimer::timeout, &delegate, [&delegate, poll, path] {
        if (!delegate.window() || delegate.working()) return;
        poll->stop();
        delegate.window()->grab().save(path);
        QCoreApplication::quit();
    });
    poll->start(500);
}

#ifdef Q_OS_UNIX
int quitSignal[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(quitSignal[1], &byte, 1);
}

// The desktop ends a session with SIGTERM: quit as from the menu, so the socket is removed.
void quitOnTerminate(QObject* owner) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, quitSignal) != 0) return;
    auto* notifier = new QSocketNotifier(quitSignal[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char byte = 0;
        [[maybe_unused]] const auto got = ::read(quitSignal[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
#endif

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tintguard"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tintguard"));
    QApplication::setApplicationVersion(QStringLiteral(TG_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("tintguard"));

#ifdef Q_OS_UNIX
    quitOnTerminate(&app);
#endif
    const QList<QUrl> files = commandLineFiles(QApplication::arguments().mid(1));
    const QString name = tg::SingleInstance::defaultName();
    if (tg::SingleInstance::handOver(name, files)) return 0;

    int status = 0;
    {
        tg::AppDelegate delegate;
        tg::SingleInstance instance(name);
        QObject::connect(&instance, &tg::SingleInstance::filesRequested, &delegate,
                         [&delegate](const QList<QUrl>& requested) {
                             delegate.openFiles(requested);
                             // A second launch also means "show me the window".
                             if (QMainWindow* window = delegate.window()) {
                                 window->showNormal();
                                 window->raise();
                                 window->activateWindow();
                             }
                         });
        instance.listen();
        if (!files.isEmpty()) delegate.openFiles(files);
        QTimer::singleShot(0, &delegate, &tg::AppDelegate::finishLaunching);
        if (qEnvironmentVariableIsSet("TG_FIRST_PAINT_EXIT"))
            app.installEventFilter(new FirstPaintProbe(&app));
        const QString screenshot = qEnvironmentVariable("TG_SCREENSHOT");
        if (!screenshot.isEmpty()) scheduleScreenshot(delegate, screenshot);
        status = QApplication::exec();
    }
    // A quit waits in the event loop, with the window showing, for the step in progress. Should
    // the loop have ended some other way, still let that step finish (no further step starts): a
    // movie cut off half way through an insertion would be a damaged master. Then end without
    // the static destructors the worker's thread may still use.
    if (tg::batchRunning()) {
        tg::waitForBatches();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
