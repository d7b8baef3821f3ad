// The port list against a private ports folder filled with pseudo-terminals made here.
#include "ports/ports.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// The paths listed, no port held by a run.
Names ListPorts()
{
    Names paths;
    for (const port_info &port : ProbePorts("", nullptr))
        paths.push_back(port.path);
    return paths;
}

struct PortsFolderTest : testing::Test {
    fs::path runtime;
    fs::path folder;
    std::vector<int> masters;

    void SetUp() override
    {
        char pattern[] = "/tmp/vek-test-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtime = pattern;
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        folder = PortsFolder();
        // Only what the test puts into the folder: the machine's own ports vary.
        setenv("VEK_PORTS_FOLDER_ONLY", "1", 1);
    }
    void TearDown() override
    {
        for (int m : masters)
            close(m);
        fs::remove_all(runtime);
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("VEK_PORTS_FOLDER_ONLY");
    }

    // A simulated target's port: a symlink in the folder to a new pseudo-terminal's slave.
    std::string Publish(const std::string &name)
    {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        masters.push_back(master);
        fs::create_directories(folder);
        fs::create_symlink(ptsname(master), folder / name);
        return (folder / name).string();
    }
    Names Listed(const Names &names) const
    {
        Names paths;
        for (const std::string &n : names)
            paths.push_back((folder / n).string());
        return paths;
    }
};

// Without the folder nothing is listed, and probing does not make one.
TEST_F(PortsFolderTest, SortedByBytesNotByNumberOrCreation)
{
    EXPECT_TRUE(ListPorts().empty());
    EXPECT_FALSE(fs::exists(folder));
    for (const char *name : {"com2", "com10", "com11", "Com3", "com1-b"})
        Publish(name);
    EXPECT_EQ(ListPorts(), Listed({"Com3", "com1-b", "com10", "com11", "com2"}));
}

// A second probe shows that the first let go of the ports it opened.
TEST_F(PortsFolderTest, LeavesOutWhatIsGoneHeldOrNoTerminalAndLeavesPortsFree)
{
    Publish("free");
    std::string held = Publish("held");
    Publish(".hidden");
    std::ofstream(folder / "plain-file") << "not a terminal\n";
    fs::create_directory(folder / "subfolder");
    // The target has ended and its link dangles. Last, so no later pty reuses its number.
    std::string gone = Publish("gone");
    close(masters.back());
    masters.pop_back();

    // Held the way a run holds its port: a lock that refuses even root.
    int holder = open(held.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ListPorts(), Listed({"free"}));
    close(holder);
    EXPECT_EQ(ListPorts(), Listed({"free", "held"}));
    EXPECT_TRUE(fs::is_symlink(gone)) << "probing must not tidy up the folder";
}

TEST_F(PortsFolderTest, RunsPortUnderAnotherNameIsNotOpenedEither)
{
    // A run holds its port through one link, as serOpen does: lock and exclusive use.
    std::string run = Publish("run");
    std::string alias = (folder / "same-device").string();
    fs::create_symlink(fs::read_symlink(run), alias);
    int port = open(run.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    ASSERT_EQ(flock(port, LOCK_EX | LOCK_NB), 0);
    std::vector<std::string> left_out;
    std::vector<port_info> ports = ProbePorts(run, &left_out);
    close(port);
    // Probing the second name would have run into the run's own lock and called it held.
    ASSERT_EQ(ports.size(), 2U);
    EXPECT_EQ(ports[0].path, run);
    EXPECT_EQ(ports[1].path, alias);
    EXPECT_TRUE(left_out.empty()) << left_out.front();
}
