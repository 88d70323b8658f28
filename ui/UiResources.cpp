#include "UiResources.h"

#include <QtGlobal>

void LoadUiResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded);
}
