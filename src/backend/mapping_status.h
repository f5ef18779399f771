#pragma once

// Outcomes of mapping checks. Checks return a status instead of throwing;
// statuses add up so that a checker can run all its rules and return one
// value, and a map call collects each distinct failure once in a group.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorna {

class Layer;

// Common fields of a single status and of a group: whether the check failed,
// and "Success." or the failure text.
template <class Derived>
class MappingStatusBase {
  public:
    bool error = false;
    std::string message = "Success.";

    // No failure, message "Success." (and no layer name for a MappingStatus).
    static Derived success() { return Derived(); }

    // Throws std::runtime_error carrying this status's to_string().
    [[noreturn]] void throw_exception() const {
        throw std::runtime_error(static_cast<const Derived*>(this)->to_string());
    }

  protected:
    MappingStatusBase() = default;
    MappingStatusBase(bool error_, std::string message_)
        : error(error_), message(std::move(message_)) {}
    MappingStatusBase(const MappingStatusBase&) = default;
    MappingStatusBase(MappingStatusBase&&) = default;
    MappingStatusBase& operator=(const MappingStatusBase&) = default;
    MappingStatusBase& operator=(MappingStatusBase&&) = default;
    ~MappingStatusBase() = default;
};

// The result of one check. A failure names the layer it is about, when
// there is one.
class MappingStatus : public MappingStatusBase<MappingStatus> {
  public:
    std::string layer_name;

    // A success.
    MappingStatus() = default;
    // A failure on the given layer with the given message.
    MappingStatus(const Layer& layer, std::string message);
    // A failure with a message and an optional layer name.
    static MappingStatus failure(std::string message, std::string layer_name = {});

    MappingStatus(const MappingStatus&) = default;
    MappingStatus(MappingStatus&&) = default;
    MappingStatus& operator=(const MappingStatus&) = default;
    MappingStatus& operator=(MappingStatus&&) = default;
    virtual ~MappingStatus();

    // Adding a success changes nothing; a failure added to a success makes
    // this status that failure; a failure added to a failure appends " " and
    // its message, keeping this status's layer name.
    virtual MappingStatus& operator+=(const MappingStatus& other);

    // The message alone without a layer name, otherwise
    // "Cannot map layer '<name>'. <message>".
    virtual std::string to_string() const;

    // "Not enough hardware components of type <type> available. <n> is/are
    // needed but <m> is/are available." on the layer.
    static MappingStatus component_error(const Layer& layer, const std::string& type_name,
                                         size_t needed, size_t available);

  private:
    MappingStatus(bool error_, std::string message_, std::string layer_name_);
};

// Equal in error flag, message and layer name.
bool operator==(const MappingStatus& a, const MappingStatus& b);
inline bool operator!=(const MappingStatus& a, const MappingStatus& b) { return !(a == b); }

// The statuses of one map call.
class MappingStatusGroup : public MappingStatusBase<MappingStatusGroup> {
  public:
    std::vector<MappingStatus> statuses;

    // No failure, message "Success.", no statuses.
    MappingStatusGroup() = default;
    MappingStatusGroup(const MappingStatusGroup&) = default;
    MappingStatusGroup(MappingStatusGroup&&) = default;
    MappingStatusGroup& operator=(const MappingStatusGroup&) = default;
    MappingStatusGroup& operator=(MappingStatusGroup&&) = default;
    virtual ~MappingStatusGroup();

    // Adding a group without failure changes nothing. Otherwise this group
    // takes the other's error flag and message when it had no failure yet,
    // and every status of the other group is appended (no deduplication).
    virtual MappingStatusGroup& operator+=(const MappingStatusGroup& other);

    // No statuses: the message. One status: its to_string(). More: a header
    // naming the first status's layer, then one item line per status.
    virtual std::string to_string() const;
};

// Appends a copy of the status and marks the group failed, unless the group
// already holds an equal status. The group's message is left alone.
void add_status_once(MappingStatusGroup& group, const MappingStatus& status);

}  // namespace vorna
