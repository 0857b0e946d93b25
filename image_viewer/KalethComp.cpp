// KalethComp: the program that hosts one Kaleth component.
#include <frame/ComponentMain.h>

#include "Kaleth.h"

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, KalethInit, "Kaleth");
}
