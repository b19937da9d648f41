#include "appcontext.h"

#include "apphelpers.h"
#include "endpoints.h"

#include <QFileInfo>

AppContext& appContext() {
    static AppContext context;
    return context;
}

bool AppContext::debugMarkerExists() { return QFileInfo::exists(GetAppDataDir() + QStringLiteral("/_yydebug.txt")); }

void AppContext::fill() {
    applicationName = Endpoints::applicationName();
    homepageUrl = Endpoints::homepageUrl();
    supportPageUrl = Endpoints::supportPageUrl();
    supportAddress = Endpoints::supportAddress();
    dataDir = GetAppDataDir() + QStringLiteral("/data");
    debugMode = debugMarkerExists();
}
