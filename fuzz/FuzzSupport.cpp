#include "FuzzSupport.h"

#include <omniORB4/CORBA.h>
#include <opencv2/core.hpp>

namespace fuzzsupport {

namespace {

// OpenCV's own allocator behind a size check. Buffers it hands out belong to the standard
// allocator (their UMatData names it), so releasing them never comes back here.
class BudgetAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        if (data == nullptr) {
            std::size_t bytes = CV_ELEM_SIZE(type);
            for (int i = 0; i < dims; ++i) {
                // Checked at every factor, so the product cannot wrap before it is compared.
                if (sizes[i] > 0 && bytes > kImageBudgetBytes / static_cast<std::size_t>(sizes[i]))
                    throw OverBudget();
                bytes *= static_cast<std::size_t>(sizes[i] > 0 ? sizes[i] : 0);
            }
        }
        return std()->allocate(dims, sizes, type, data, step, flags, usage);
    }
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        return std()->allocate(data, flags, usage);
    }
    void deallocate(cv::UMatData* data) const override { std()->deallocate(data); }

private:
    static cv::MatAllocator* std() { return cv::Mat::getStdAllocator(); }
};

}  // namespace

void init() {
    int argc = 0;
    // Never destroyed: the targets decode until the process ends.
    CORBA::ORB_init(argc, nullptr, "omniORB4");
    static BudgetAllocator budget;
    cv::Mat::setDefaultAllocator(&budget);
}

}  // namespace fuzzsupport
