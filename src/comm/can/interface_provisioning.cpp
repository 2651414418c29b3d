// Interface provisioning: show the interface, decide, then configure it with `ip`, and through
// `sudo ip` when the unprivileged attempt fails.
//
// Thread-safety: stateless; every call runs on the calling thread and blocks it until its last
// child has exited.
#include "comm/can/interface_provisioning.hpp"

#include <vector>

#include "comm/can/ip_link_details.hpp"
#include "common/console.hpp"
#include "common/os/child_process.hpp"

namespace velmot::comm::can {

namespace {

using os::ChildStreams;
using os::run_child;
using Arguments = std::vector<std::string>;

constexpr ConsoleKind k_provisioning_kind{"can: interface provisioning"};

void print_line(const std::string& line) {
    write_stderr(k_provisioning_kind, line + "\n");
}

std::string join(const Arguments& arguments) {
    std::string joined;
    for (const auto& argument : arguments) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += argument;
    }
    return joined;
}

// Steps run in order and never undone: a failure after "down" leaves the interface down.
std::vector<Arguments> full_configuration(const std::string& interface) {
    return {
        {"link", "set", interface, "down"},
        {"link", "set", interface, "type", "can", "bitrate", std::to_string(k_target_bitrate)},
        {"link", "set", interface, "up"},
    };
}

// A virtual link has no bitrate to set; it only needs to be up.
std::vector<Arguments> bring_up_only(const std::string& interface) {
    return {{"link", "set", interface, "up"}};
}

void report_needs_configuration(const std::string& interface, const IpLinkDetails& details) {
    const std::string bitrate = details.bitrate ? std::to_string(*details.bitrate) : "none";
    print_line("[CAN] Interface '" + interface + "' needs configuration (up=" +
               (details.is_up ? "true" : "false") + ", bitrate=" + bitrate + "), configuring...");
}

// Failures here are deliberately silent: they only mean the privileged pass has to follow
// (false). Only an interruption is an error.
Result<bool> run_unprivileged(const std::vector<Arguments>& commands,
                              const InterruptPoll& interrupt) {
    for (const auto& command : commands) {
        auto child = run_child("ip", command, ChildStreams::captured, interrupt);
        if (was_interrupted(child)) {
            return std::move(child).error();
        }
        if (!child || !child->success()) {
            return false;
        }
    }
    return true;
}

Result<void> run_privileged(const std::vector<Arguments>& commands,
                            const InterruptPoll& interrupt) {
    print_line("[CAN] Need elevated privileges, requesting sudo...");
    for (const auto& command : commands) {
        Arguments sudo_arguments{"ip"};
        sudo_arguments.insert(sudo_arguments.end(), command.begin(), command.end());
        auto child = run_child("sudo", sudo_arguments, ChildStreams::inherited, interrupt);
        if (was_interrupted(child)) {
            return std::move(child).error();
        }
        if (!child) {
            return Error{ErrorKind::os,
                         "Failed to run 'sudo ip " + join(command) + "': " + child.error().message};
        }
        if (!child->success()) {
            return Error{ErrorKind::permission, "'sudo ip " + join(command) + "' failed"};
        }
    }
    return {};
}

Result<void> configure(const std::vector<Arguments>& commands, const InterruptPoll& interrupt) {
    auto configured = run_unprivileged(commands, interrupt);
    if (!configured) {
        return std::move(configured).error();
    }
    if (configured.value()) {
        return {};
    }
    return run_privileged(commands, interrupt);
}

Error does_not_exist(const std::string& interface) {
    return Error{ErrorKind::not_found, "CAN interface '" + interface + "' does not exist"};
}

Error not_a_can_link(const std::string& interface) {
    return Error{ErrorKind::invalid_input, "CAN interface '" + interface + "' is not a CAN link"};
}

Error unexpected_output(const std::string& interface) {
    return Error{ErrorKind::os, "Unexpected output from 'ip -details link show " + interface + "'"};
}

// The details of the link named `interface` itself. A name the tool reads as a filter (`up`)
// succeeds there but lists other links: that name does not exist either. Output that is no link
// description at all (no "N: LABEL:" header), or that does not end, is the tool's fault.
Result<IpLinkDetails> show(const std::string& interface, const InterruptPoll& interrupt) {
    auto child =
        run_child("ip", {"-details", "link", "show", interface}, ChildStreams::captured, interrupt);
    if (was_interrupted(child)) {
        return std::move(child).error();
    }
    if (!child) {
        return Error{ErrorKind::os, "Failed to run ip: " + child.error().message};
    }
    if (child->output_cut) {
        return unexpected_output(interface);
    }
    if (!child->success()) {
        return does_not_exist(interface);
    }
    auto details = parse_ip_link_details(child->out);
    if (details.label.empty()) {
        return unexpected_output(interface);
    }
    if (!details.describes(interface)) {
        return does_not_exist(interface);
    }
    return details;
}

}  // namespace

Result<void> ensure_can_interface(const std::string& interface, const InterruptPoll& interrupt) {
    auto details = show(interface, interrupt);
    if (!details) {
        return std::move(details).error();
    }
    // Configuring starts by taking the link down: never do that to a link that is not CAN.
    if (!details->is_can_link()) {
        return not_a_can_link(interface);
    }
    if (details->is_virtual_can()) {
        if (details->is_up) {
            return {};
        }
        report_needs_configuration(interface, details.value());
        return configure(bring_up_only(interface), interrupt);
    }
    if (details->is_up && details->bitrate == k_target_bitrate) {
        return {};
    }
    report_needs_configuration(interface, details.value());
    return configure(full_configuration(interface), interrupt);
}

}  // namespace velmot::comm::can
