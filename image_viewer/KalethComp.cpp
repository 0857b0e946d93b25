// KalethComp: the program that hosts one Kaleth component.
#include <display/Display.h>
#include <frame/ComponentMain.h>

#include "Kaleth.h"

int main(int argc, char** argv) {
    // The display library would end the process on its own; leave with the names unbound instead.
    display::onDisplayLost([] { frame::leaveProcess(1); });
    return frame::runComponentProgram(argc, argv, KalethInit, "Kaleth");
}
