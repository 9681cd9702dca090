// Loaded with LD_PRELOAD into the program under measurement: when the first window has been exposed
// and its expose handled (painted), writes "probe-shown <CLOCK_MONOTONIC ns>" to standard error.
// The program itself is not changed, so the application and its baseline are measured alike.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class ExposeProbe : public QObject
{
public:
    explicit ExposeProbe(QObject *parent) : QObject(parent) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Expose) {
            const auto *window = qobject_cast<QWindow *>(watched);
            if (window && window->isExposed()) {
                m_seen = true;
                // Queued, so the time is taken once the expose (and the paint it causes) is done.
                QTimer::singleShot(0, this, [] {
                    std::fprintf(stderr, "probe-shown %lld\n", monotonicNs());
                    std::fflush(stderr);
                });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

void installProbe()
{
    QCoreApplication *app = QCoreApplication::instance();
    app->installEventFilter(new ExposeProbe(app));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
