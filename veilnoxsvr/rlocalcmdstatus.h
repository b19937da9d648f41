#pragma once
// The console status thread: reads single characters from standard input.
// "p" switches detailed logs on, any other character switches them off, a
// line feed prints the status dump. Ends when standard input ends; never
// joined.
#include "rthread.h"

class RLocalCmdStatus : public RThread {
public:
    void run() override;
};
