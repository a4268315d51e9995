// The unit tests' main: every test runs in a folder of its own under the
// working folder, named for the test and the process, so each has its own
// Shedmate.log and tests can run side by side, even the same test in two runs
// of the suite at once. A failed test's folder is kept for a look at its log.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

class FolderPerTest : public testing::EmptyTestEventListener {
  public:
    FolderPerTest() : base_(fs::current_path()) {}

    void OnTestStart(const testing::TestInfo& test) override {
        std::string name = std::string(test.test_suite_name()) + "." + test.name() + "." +
                           std::to_string(getpid());
        for (char& c : name)
            if (c == '/' || c == '\\')
                c = '_';
        folder_ = base_ / name;
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        fs::create_directories(folder_);
        fs::current_path(folder_);
    }

    void OnTestEnd(const testing::TestInfo& test) override {
        fs::current_path(base_);
        // A receiving thread a test had to leave behind may still hold the
        // log open; where that keeps the folder, it stays.
        std::error_code ignored;
        if (test.result()->Passed())
            fs::remove_all(folder_, ignored);
    }

  private:
    fs::path base_;
    fs::path folder_;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FolderPerTest);
    return RUN_ALL_TESTS();
}
