#include <dirent.h>
#include <fcntl.h>
#include <rtm/ShmSegment.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace RTC {

namespace {

// Names of the segments this process has open, unlinked at exit should their owners never close
// them (a program leaving through exit() with connections still up).
class OpenSegments {
public:
    static OpenSegments& instance() {
        static OpenSegments* s = [] {
            auto* made = new OpenSegments;
            std::atexit([] { OpenSegments::instance().unlinkAll(); });
            return made;
        }();
        return *s;
    }
    void add(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_names[name];
    }
    void remove(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_names.find(name);
        if (it != m_names.end() && --it->second == 0) m_names.erase(it);
    }
    void unlinkAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& n : m_names) ::shm_unlink(n.first.c_str());
        m_names.clear();
    }

private:
    // Guards m_names: open segments by name, with how many writers and readers hold each.
    std::mutex m_mutex;
    std::map<std::string, int> m_names;
};

std::string errorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::size_t parseSegmentSize(const std::string& raw) {
    std::string text;
    for (char c : raw)
        if (!std::isspace(static_cast<unsigned char>(c)))
            text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    unsigned long long unit = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'm')) {
        unit = text.back() == 'k' ? 1024 : 1048576;
        text.pop_back();
    }
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return kDefaultSegmentSize;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10) * unit;
    if (n == 0 || n > kMaxSegmentSize) return kDefaultSegmentSize;
    return static_cast<std::size_t>(n);
}

bool acceptableSegmentName(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) return false;
    for (char c : name)
        if (!std::isprint(static_cast<unsigned char>(c))) return false;
    return true;
}

SegmentStream::SegmentStream(void* area, std::size_t capacity, bool littleEndian)
    : CdrAreaStream(littleEndian) {
    setArea(area, capacity);
}

void SegmentStream::grow(std::size_t) { throw Full(); }

std::size_t SegmentStream::limit() const {
    return static_cast<std::size_t>(kMaxSegmentSize - kSegmentHeaderSize);
}

SegmentWriter::SegmentWriter(std::string name) : m_name(std::move(name)) {}

SegmentWriter::~SegmentWriter() { remove(); }

bool SegmentWriter::create(std::size_t size, std::string& error) {
    remove();
    if (size < kSegmentHeaderSize) size = kSegmentHeaderSize;
    // A file of that name left over from another run is replaced, not reused.
    ::shm_unlink(m_name.c_str());
    m_fd = ::shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0664);
    if (m_fd < 0) {
        error = errorText("shm_open");
        return false;
    }
    OpenSegments::instance().add(m_name);
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        error = errorText("ftruncate");
        remove();
        return false;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED) {
        error = errorText("mmap");
        remove();
        return false;
    }
    m_area = static_cast<CORBA::Octet*>(p);
    m_size = size;
    return true;
}

void SegmentWriter::remove() {
    if (m_area) ::munmap(m_area, m_size);
    m_area = nullptr;
    m_size = 0;
    if (m_fd >= 0) {
        ::close(m_fd);
        ::shm_unlink(m_name.c_str());
        OpenSegments::instance().remove(m_name);
    }
    m_fd = -1;
}

void SegmentWriter::writeHeader(unsigned long long length, bool littleEndian) {
    for (std::size_t i = 0; i < kSegmentHeaderSize; ++i) {
        const std::size_t shift = 8 * (littleEndian ? i : kSegmentHeaderSize - 1 - i);
        m_area[i] = static_cast<CORBA::Octet>(length >> shift);
    }
}

SegmentReader::~SegmentReader() { close(false); }

namespace {

// The form writers name their segments in: a UUID in canonical text, "8-4-4-4-12" hex digits.
bool uuidForm(const std::string& name) {
    if (name.size() != 36) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? name[i] != '-' : !std::isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

// True when a process other than this one has the file `path` (device and inode as given) open
// or mapped, as far as /proc shows; processes it may not look into do not count.
bool heldElsewhere(const std::string& path, dev_t dev, ino_t ino) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return true;
    const std::string self = std::to_string(::getpid());
    bool held = false;
    while (dirent* e = ::readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])) || self == e->d_name) continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        std::ifstream maps(dir + "/maps");
        for (std::string line; !held && std::getline(maps, line);) {
            if (line.find(path) == std::string::npos) continue;
            std::istringstream fields(line);
            std::string range, perms, offset, device;
            unsigned long long inode = 0;
            fields >> range >> perms >> offset >> device >> inode;
            held = inode == static_cast<unsigned long long>(ino);
        }
        if (DIR* fds = held ? nullptr : ::opendir((dir + "/fd").c_str())) {
            while (dirent* f = ::readdir(fds)) {
                struct stat st;
                if (f->d_name[0] == '.') continue;
                if (::stat((dir + "/fd/" + f->d_name).c_str(), &st) == 0 && st.st_dev == dev &&
                    st.st_ino == ino) {
                    held = true;
                    break;
                }
            }
            ::closedir(fds);
        }
        if (held) break;
    }
    ::closedir(proc);
    return held;
}

}  // namespace

bool SegmentReader::open(const std::string& name, unsigned long long size, std::string& reason) {
    close(false);
    if (!acceptableSegmentName(name)) {
        reason = "unacceptable segment name";
        return false;
    }
    if (size < kSegmentHeaderSize || size > kMaxSegmentSize) {
        reason = "segment size " + std::to_string(size) + " out of range";
        return false;
    }
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        reason = errorText("shm_open");
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) != size) {
        reason = "segment size " + std::to_string(size) + " does not match the file";
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_name = name;
    m_size = size;
    return true;
}

bool SegmentReader::leftOver() const {
    struct stat opened, named;
    const std::string path = "/dev/shm/" + m_name;
    return uuidForm(m_name) && ::fstat(m_fd, &opened) == 0 &&
           ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino && named.st_uid == ::geteuid() &&
           static_cast<unsigned long long>(named.st_size) == m_size &&
           !heldElsewhere(path, named.st_dev, named.st_ino);
}

void SegmentReader::close(bool unlink) {
    if (m_fd < 0) return;
    if (unlink && leftOver()) ::shm_unlink(m_name.c_str());
    ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

namespace {

// Copies `length` octets from `offset`; false when the file ends before.
bool readFully(int fd, void* to, std::size_t length, off_t offset) {
    char* p = static_cast<char*>(to);
    while (length > 0) {
        const ssize_t n = ::pread(fd, p, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

bool SegmentReader::read(OpenRTM::CdrData& out, bool littleEndian, std::string& reason) {
    if (m_fd < 0) {
        reason = "no segment open";
        return false;
    }
    CORBA::Octet header[kSegmentHeaderSize];
    if (!readFully(m_fd, header, sizeof header, 0)) {
        reason = "segment truncated before its header";
        return false;
    }
    unsigned long long length = 0;
    for (std::size_t i = 0; i < kSegmentHeaderSize; ++i) {
        const std::size_t shift = 8 * (littleEndian ? i : kSegmentHeaderSize - 1 - i);
        length |= static_cast<unsigned long long>(header[i]) << shift;
    }
    if (length == 0 || length > m_size - kSegmentHeaderSize) {
        reason = "length header " + std::to_string(length) + " does not fit a segment of " +
                 std::to_string(m_size) + " octets";
        return false;
    }
    const CORBA::ULong n = static_cast<CORBA::ULong>(length);
    if (out.maximum() < n || !out.release()) out = OpenRTM::CdrData();
    out.length(n);
    if (!readFully(m_fd, out.get_buffer(), n, static_cast<off_t>(kSegmentHeaderSize))) {
        reason = "segment truncated: it holds fewer than the " + std::to_string(length) +
                 " octets announced";
        return false;
    }
    return true;
}

}  // namespace RTC
