#include "app/resources.h"

#include <QtGlobal>

void initSealStationResources()
{
    Q_INIT_RESOURCE(resources);
}
