// MorvaneComp: the program that hosts one Morvane component.
#include <frame/ComponentMain.h>

#include "Morvane.h"

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, MorvaneInit, "Morvane");
}
