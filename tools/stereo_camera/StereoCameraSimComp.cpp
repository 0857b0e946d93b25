// StereoCameraSimComp: the program that hosts one synthetic stereo camera.
#include <frame/ComponentMain.h>

#include "StereoCameraSim.h"

int main(int argc, char** argv) {
    return frame::runComponentProgram(argc, argv, StereoCameraSimInit, "StereoCameraSim");
}
