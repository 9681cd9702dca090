#include "app/shutdownsignals.h"

// A Windows GUI program gets no console signals; the end of the user's session reaches the window
// through the application's commit-data request instead.
class ShutdownSignals::Handlers
{
};

ShutdownSignals::ShutdownSignals(QObject *parent) : QObject(parent), m_handlers(std::make_unique<Handlers>()) {}

ShutdownSignals::~ShutdownSignals() = default;

bool ShutdownSignals::isActive() const
{
    return false;
}
