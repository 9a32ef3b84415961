#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/object.h"

namespace {

class Probe : public Base::Object {
public:
    explicit Probe(int* destroyed) : destroyed(destroyed) {}

private:
    ~Probe() override { ++*destroyed; }
    int* destroyed;
};

}  // namespace

TEST(ObjectReferences, TheLastReferenceDeletesAndTheLiveCountFollows) {
    const int baseline = Base::Object::LiveObjectCount();
    int destroyed = 0;
    {
        auto first = Base::MakeRef<Probe>(&destroyed);
        EXPECT_EQ(Base::Object::LiveObjectCount(), baseline + 1);
        Base::Ref<Probe> copy = first;
        Base::Ref<Base::Object> base = copy;
        Base::Ref<Probe> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(first->RefCount(), 3u);
        first.Reset();
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([moved] { for (int i = 0; i < 20000; ++i) Base::Ref<Probe> again = moved; });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(moved->RefCount(), 2u);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}
