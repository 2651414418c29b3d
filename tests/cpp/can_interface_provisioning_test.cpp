// ensure_can_interface end to end against the `ip` and `sudo` stand-ins of sim/bin: which
// commands run (argument vectors as logged), what is printed, the result and the final state.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "comm/can/interface_provisioning.hpp"

namespace velmot::comm::can {
namespace {

namespace fs = std::filesystem;

const fs::path repo = fs::path(__FILE__).parent_path().parent_path().parent_path();

// The stand-ins log each argument vector as a JSON array; names here need no escaping.
std::string json(const std::vector<std::string>& arguments) {
    std::string line = "[";
    for (const auto& argument : arguments) {
        line += (line.size() > 1 ? ", \"" : "\"") + argument + "\"";
    }
    return line + "]";
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string show(const std::string& name) {
    return json({"-details", "link", "show", name});
}
std::string down(const std::string& name) {
    return json({"link", "set", name, "down"});
}
std::string bitrate(const std::string& name) {
    return json({"link", "set", name, "type", "can", "bitrate", "1000000"});
}
std::string up(const std::string& name) {
    return json({"link", "set", name, "up"});
}
std::string with_ip(std::string line) {
    return "[\"ip\", " + line.substr(1);
}

const std::string up_1m = "kind=can\nup=1\nbitrate=1000000\n";
const std::string up_500k = "kind=can\nup=1\nbitrate=500000\n";
const std::string down_unconfigured = "kind=can\nup=0\n";

class CanProvisioning : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmot-provisioning-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "state");
        fs::create_directories(root_ / "bin");
        for (const char* name :
             {"PATH", "VCAN_SIM_DIR", "VCAN_IP_LOG", "VCAN_SUDO_LOG", "VCAN_SIM_PRIVILEGED"}) {
            const char* value = std::getenv(name);
            saved_env_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
        original_path_ = saved_env_["PATH"].value_or("/usr/bin:/bin");
        setenv("VCAN_SIM_DIR", root_.c_str(), 1);
        setenv("VCAN_IP_LOG", (root_ / "ip.log").c_str(), 1);
        setenv("VCAN_SUDO_LOG", (root_ / "sudo.log").c_str(), 1);
        unsetenv("VCAN_SIM_PRIVILEGED");
        set_path((repo / "sim" / "bin").string() + ":" + original_path_);
    }

    void TearDown() override {
        for (const auto& [name, value] : saved_env_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        fs::remove_all(root_);
    }

    void add_interface(const std::string& name, const std::string& state) {
        std::ofstream(root_ / "ifaces", std::ios::app)
            << 100 + interfaces_++ << " " << name << "\n";
        std::ofstream(root_ / "state" / name) << state;
    }
    void make_unprivileged() { std::ofstream(root_ / "unprivileged") << ""; }
    void set_path(const std::string& path) { setenv("PATH", path.c_str(), 1); }

    void write_script(const std::string& name, const std::string& body) {
        const auto path = root_ / "bin" / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }

    Result<void> provision(const std::string& name) {
        testing::internal::CaptureStderr();
        auto result = ensure_can_interface(name);
        printed_ = testing::internal::GetCapturedStderr();
        return result;
    }

    std::vector<std::string> ip_log() const { return read_lines(root_ / "ip.log"); }
    std::vector<std::string> sudo_log() const { return read_lines(root_ / "sudo.log"); }
    std::string state(const std::string& name) const {
        std::ifstream file(root_ / "state" / name);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    fs::path root_;
    std::string original_path_;
    std::string printed_;
    std::map<std::string, std::optional<std::string>> saved_env_;
    int interfaces_ = 0;
};

std::string needs(const std::string& name, const std::string& up, const std::string& bitrate) {
    return "[CAN] Interface '" + name + "' needs configuration (up=" + up + ", bitrate=" + bitrate +
           "), configuring...\n";
}
const std::string sudo_line = "[CAN] Need elevated privileges, requesting sudo...\n";

bool has_line(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

TEST_F(CanProvisioning, UpAt1MbitRunsOnlyTheShowCommand) {
    add_interface("can0", up_1m);
    ASSERT_TRUE(provision("can0").ok());
    EXPECT_EQ(printed_, "");
    EXPECT_EQ(ip_log(), std::vector<std::string>{show("can0")});
    EXPECT_TRUE(sudo_log().empty());
}

struct ReconfigureCase {
    std::string state;
    std::string up;
    std::string bitrate;
};

class CanProvisioningReconfigures : public CanProvisioning,
                                    public ::testing::WithParamInterface<ReconfigureCase> {};

TEST_P(CanProvisioningReconfigures, RunsTheThreeCommandsUnprivileged) {
    add_interface("can0", GetParam().state);
    ASSERT_TRUE(provision("can0").ok());
    EXPECT_EQ(printed_, needs("can0", GetParam().up, GetParam().bitrate));
    EXPECT_EQ(ip_log(),
              (std::vector<std::string>{show("can0"), down("can0"), bitrate("can0"), up("can0")}));
    EXPECT_TRUE(sudo_log().empty());
    EXPECT_TRUE(has_line(state("can0"), "up=1") && has_line(state("can0"), "bitrate=1000000"))
        << state("can0");
}

INSTANTIATE_TEST_SUITE_P(States, CanProvisioningReconfigures,
                         ::testing::Values(ReconfigureCase{up_500k, "true", "500000"},
                                           ReconfigureCase{down_unconfigured, "false", "none"},
                                           ReconfigureCase{"kind=can\nup=0\nbitrate=1000000\n",
                                                           "false", "1000000"}));

TEST_F(CanProvisioning, UnknownNameIsNotFoundAndNothingIsSet) {
    add_interface("can0", up_500k);
    const auto result = provision("nosuch");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "CAN interface 'nosuch' does not exist");
    EXPECT_EQ(result.error().kind, ErrorKind::not_found);
    EXPECT_EQ(ip_log(), std::vector<std::string>{show("nosuch")});
    EXPECT_EQ(printed_, "");
}

TEST_F(CanProvisioning, UnprivilegedFailureFallsBackToSudo) {
    add_interface("can0", down_unconfigured);
    make_unprivileged();
    ASSERT_TRUE(provision("can0").ok());
    EXPECT_EQ(printed_, needs("can0", "false", "none") + sudo_line);
    // The unprivileged pass stops at its first failure; the sudo pass starts again from "down".
    EXPECT_EQ(ip_log(), (std::vector<std::string>{show("can0"), down("can0"), down("can0"),
                                                  bitrate("can0"), up("can0")}));
    EXPECT_EQ(sudo_log(), (std::vector<std::string>{with_ip(down("can0")), with_ip(bitrate("can0")),
                                                    with_ip(up("can0"))}));
    EXPECT_TRUE(has_line(state("can0"), "up=1") && has_line(state("can0"), "bitrate=1000000"));
}

struct SudoFailureCase {
    std::string sudo_body;  // script standing in for sudo
    std::string message;
    std::size_t sudo_runs;
    std::string final_up;
};

class CanProvisioningSudoFails : public CanProvisioning,
                                 public ::testing::WithParamInterface<SudoFailureCase> {};

TEST_P(CanProvisioningSudoFails, StopsAtTheFirstFailedCommand) {
    add_interface("can0", up_500k);
    make_unprivileged();
    write_script("sudo", "echo \"$*\" >> \"$VCAN_SUDO_LOG\"\n" + GetParam().sudo_body);
    set_path((root_ / "bin").string() + ":" + (repo / "sim" / "bin").string() + ":" +
             original_path_);
    const auto result = provision("can0");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, GetParam().message);
    EXPECT_EQ(result.error().kind, ErrorKind::permission);
    EXPECT_EQ(printed_, needs("can0", "true", "500000") + sudo_line);
    EXPECT_EQ(sudo_log().size(), GetParam().sudo_runs);
    EXPECT_TRUE(has_line(state("can0"), "up=" + GetParam().final_up))
        << state("can0");  // never undone
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CanProvisioningSudoFails,
    ::testing::Values(SudoFailureCase{"exit 1", "'sudo ip link set can0 down' failed", 1, "1"},
                      SudoFailureCase{"case \" $* \" in *\" bitrate \"*) exit 1;; esac\n"
                                      "VCAN_SIM_PRIVILEGED=1 exec \"$@\"",
                                      "'sudo ip link set can0 type can bitrate 1000000' failed", 2,
                                      "0"}));

TEST_F(CanProvisioning, MissingIpIsAStartError) {
    add_interface("can0", up_1m);
    set_path((root_ / "bin").string());
    const auto result = provision("can0");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "Failed to run ip: No such file or directory (os error 2)");
    EXPECT_EQ(result.error().kind, ErrorKind::os);
}

TEST_F(CanProvisioning, NameHoldingNulStartsNothing) {
    add_interface("can0", up_1m);
    const auto result = provision(std::string("can0\0x", 6));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, "Failed to run ip: Invalid argument (os error 22)");
}

TEST_F(CanProvisioning, MissingSudoIsAStartError) {
    add_interface("can0", up_500k);
    make_unprivileged();
    // Only our `ip` is on PATH; it runs the stand-in with the full search path of its own.
    write_script("ip", "PATH='" + original_path_ + "' exec python3 '" +
                           (repo / "sim/bin/ip").string() + "' \"$@\"");
    set_path((root_ / "bin").string());
    const auto result = provision("can0");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message,
              "Failed to run 'sudo ip link set can0 down': No such file or directory (os error 2)");
    EXPECT_EQ(result.error().kind, ErrorKind::os);
    EXPECT_EQ(printed_, needs("can0", "true", "500000") + sudo_line);
}

struct VirtualCase {
    std::string name;
    std::string state;
    bool unprivileged;
    std::string printed;
    std::vector<std::string> ip_calls;
    std::vector<std::string> sudo_calls;
};

class CanProvisioningVirtual : public CanProvisioning,
                               public ::testing::WithParamInterface<VirtualCase> {};

TEST_P(CanProvisioningVirtual, IsOnlyBroughtUpNeverGivenABitrate) {
    const auto& c = GetParam();
    add_interface(c.name, c.state);
    if (c.unprivileged) {
        make_unprivileged();
    }
    const auto result = provision(c.name);
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(printed_, c.printed);
    EXPECT_EQ(ip_log(), c.ip_calls);
    EXPECT_EQ(sudo_log(), c.sudo_calls);
    EXPECT_TRUE(has_line(state(c.name), "up=1"));
}

INSTANTIATE_TEST_SUITE_P(
    Links, CanProvisioningVirtual,
    ::testing::Values(VirtualCase{"vcan0", "kind=vcan\nup=1\n", false, "", {show("vcan0")}, {}},
                      VirtualCase{"vxcan0", "kind=vxcan\nup=1\n", false, "", {show("vxcan0")}, {}},
                      VirtualCase{"vcan0",
                                  "kind=vcan\nup=0\n",
                                  false,
                                  needs("vcan0", "false", "none"),
                                  {show("vcan0"), up("vcan0")},
                                  {}},
                      VirtualCase{"vcan0",
                                  "kind=vcan\nup=0\n",
                                  true,
                                  needs("vcan0", "false", "none") + sudo_line,
                                  {show("vcan0"), up("vcan0"), up("vcan0")},
                                  {with_ip(up("vcan0"))}}));

class CanProvisioningNames : public CanProvisioning,
                             public ::testing::WithParamInterface<std::string> {};

TEST_P(CanProvisioningNames, ReachIpAsOneArgument) {
    const std::string name = GetParam();
    ASSERT_FALSE(fs::exists("X"));
    add_interface(name, down_unconfigured);
    ASSERT_TRUE(provision(name).ok());
    EXPECT_EQ(ip_log(),
              (std::vector<std::string>{show(name), down(name), bitrate(name), up(name)}));
    EXPECT_FALSE(fs::exists("X"));
    EXPECT_FALSE(fs::exists(root_ / "X"));
}

INSTANTIATE_TEST_SUITE_P(ShellCharacters, CanProvisioningNames,
                         ::testing::Values("can0;touch X", "a b", "$(touch X)", "`touch X`"));

}  // namespace
}  // namespace velmot::comm::can
