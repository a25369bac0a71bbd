#include "platform/Logging.h"

#include <QString>
#include <QtGlobal>

namespace loopstage::platform {

void installLogFormat() {
    qSetMessagePattern(
        QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{appname}[%{pid}] %{message}"));
}

}  // namespace loopstage::platform
