#include "Resources.h"

#include <QtCore/qglobal.h>

static void initCompiledResources() {
    Q_INIT_RESOURCE(resources);
}

void ktr6InitResources() {
    initCompiledResources();
}
