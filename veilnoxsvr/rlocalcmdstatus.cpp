#include "rlocalcmdstatus.h"

#include "consolestatus.h"
#include "serverstate.h"

#include <cstdio>

void RLocalCmdStatus::run() {
    try {
        for (;;) {
            int c = std::getchar();
            if (c == EOF) break;
            std::printf("%c\n", c);
            std::fflush(stdout);
            if (c == '\n')
                printStatus();
            else
                setDetailedLogs(c == 'p');
        }
    } catch (...) {
        logCaughtException("RLocalCmdStatus::run");
    }
}
