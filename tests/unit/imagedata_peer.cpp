// Built against ImageData.idl only. "encode FILE" writes the reference frame's CDR bytes;
// "check FILE" decodes a frame from FILE and exits 0 when it equals the reference frame.
#include <ImageData.hh>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "Cdr.h"
#include "CanonicalValues.h"
#include "Orb.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: imagedata_peer encode|check FILE\n";
        return 2;
    }
    testsupport::orb();
    const std::string mode = argv[1];
    if (mode == "encode") {
        const auto bytes = testsupport::encode(canonical::frame<QOR::TimedImageData>());
        std::ofstream(argv[2], std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        return 0;
    }
    std::ifstream in(argv[2], std::ios::binary);
    testsupport::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QOR::TimedImageData got;
    try {
        testsupport::decode(bytes, got);
    } catch (const CORBA::MARSHAL&) {
        std::cerr << "MARSHAL\n";
        return 1;
    }
    return canonical::sameFrame(got, canonical::frame<QOR::TimedImageData>()) ? 0 : 1;
}
