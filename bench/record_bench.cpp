// Recording depth maps as they arrive: one 1920x1080 map's CDR bytes appended by the recorder,
// beside a plain write of the same bytes to the same disk, in the page cache and through to the
// disk (fdatasync), each beside a memcpy of the bytes. At 30 maps a second each append has 33 ms.
#include <fcntl.h>
#include <unistd.h>

#include <StereoCameraService.hh>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "RecordingReader.h"
#include "RecordingWriter.h"

namespace {

std::vector<unsigned char> encodedMap(int width, int height) {
    QOR::TimedStereoData map;
    map.tm.sec = 1;
    map.tm.nsec = 2;
    map.width = width;
    map.height = height;
    map.data.length(static_cast<CORBA::ULong>(width) * static_cast<CORBA::ULong>(height));
    for (CORBA::ULong i = 0; i < map.data.length(); ++i) {
        map.data[i].x = i % width;
        map.data[i].y = i / width;
        map.data[i].z = 0.001 * (i % 9000);
    }
    cdrMemoryStream s;
    map >>= s;
    const auto* p = static_cast<const unsigned char*>(s.bufPtr());
    return std::vector<unsigned char>(p, p + s.bufSize());
}

// The files go beside the program, in the build tree: on the disk, not in a memory file system.
std::string scratchDirectory() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    bench::require(n > 0, "cannot find the program's own directory");
    std::string dir(self, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.rfind('/')) + "/record_bench.XXXXXX";
    bench::require(::mkdtemp(&dir[0]) != nullptr, "cannot make a scratch directory");
    return dir;
}

void writeAll(int fd, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        bench::require(n > 0, "a plain write failed");
        done += static_cast<std::size_t>(n);
    }
}

void recordStages(bench::Report& report, int width, int height, const std::string& dir) {
    const bench::Options& o = report.options();
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::vector<unsigned char> cdr = encodedMap(width, height);
    bench::MemcpyBaseline baseline(cdr.size());
    const std::string path = dir + "/file";

    for (const bool sync : {false, true}) {
        const std::string plain = sync ? "r. plain write + fdatasync (disk)" : "r. plain write";
        if (!report.wanted(plain)) continue;
        int fd = -1;
        auto reopen = [&] {
            if (fd >= 0) ::close(fd);
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            bench::require(fd >= 0, "cannot create " + path);
        };
        const bench::Measurement m = bench::measure(
            o,
            [&] {
                writeAll(fd, cdr);
                if (sync) bench::require(::fdatasync(fd) == 0, "fdatasync failed");
            },
            baseline, reopen);
        bench::require(::lseek(fd, 0, SEEK_CUR) == static_cast<off_t>(cdr.size()),
                       plain + ": the file does not hold the bytes");
        ::close(fd);
        report.add({plain, size, m, baseline.bytes()});
    }

    const std::string append = "r. recorder append (30 Hz: 33 ms each)";
    if (report.wanted(append)) {
        std::unique_ptr<recording::RecordingWriter> writer;
        bool written = true;
        auto fresh = [&] {
            writer.reset();
            ::unlink(path.c_str());
            writer.reset(
                new recording::RecordingWriter(path, {{"Camera0:stereo", "TimedStereoData"}}));
        };
        const bench::Measurement m = bench::measure(
            o,
            [&] {
                written = writer->append(0, cdr.data(), cdr.size(), true, 1) ==
                              recording::RecordingWriter::Result::Written &&
                          written;
            },
            baseline, fresh);
        writer.reset();
        std::vector<unsigned char> back;
        const recording::RecordingReader r(path);
        bench::require(written && r.problem().empty() && r.values().size() == 1 &&
                           r.read(r.values()[0], back) && back == cdr,
                       append + ": the file does not hold the value");
        report.add({append, size, m, baseline.bytes()});
    }
    ::unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options options = bench::parseOptions(
        argc, argv, "recording one depth map, beside a plain write and a memcpy of its CDR bytes");
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr);
    const std::string dir = scratchDirectory();
    bench::Report report(options);
    if (options.quick)
        recordStages(report, 64, 48, dir);
    else
        recordStages(report, 1920, 1080, dir);
    ::rmdir(dir.c_str());
    orb->destroy();
    return 0;
}
