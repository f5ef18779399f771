#pragma once

// Back ends and the sequences they produce. A back end maps the layers of a
// model it can run and hands back sequences; a model keeps its sequences
// and runs inputs through them in order.

#include <memory>
#include <string>
#include <vector>

#include "backend/mapping_status.h"
#include "corelib/types.h"

namespace vorna {

class Layer;
class MapConstraints;
class Sequence;
class Tensor;

class Backend {
  public:
    virtual ~Backend() = default;

    // Maps what it can of `layers`, removes the mapped layers from the list
    // and appends the sequences it built to `sequences`.
    virtual MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences,
                                   std::shared_ptr<MapConstraints> constraints) = 0;
    virtual BackendType type() const = 0;

  protected:
    Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;
};

// A run of layers executed by one back end.
class Sequence {
  public:
    // The layers that run together in one configuration of the device.
    struct Pass {
        virtual ~Pass() = default;
        std::vector<std::shared_ptr<Layer>> layers;
    };

    // The two parts of a program. The views point into the program bytes of
    // the sequence that produced them.
    struct ProgramParts {
        ByteView program_info;
        ByteView program_data;
    };

    virtual ~Sequence() = default;

    virtual const std::vector<std::shared_ptr<Pass>>& passes() const = 0;
    virtual BackendType backend() const = 0;
    // The program bytes; a null data pointer when there is no program.
    virtual ByteView program() const = 0;
    virtual ProgramParts program_parts() const = 0;
    virtual std::string name() const = 0;

  protected:
    Sequence() = default;
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;
};

// A sequence that runs input samples itself.
class ForwardableSequence : public Sequence {
  public:
    ~ForwardableSequence() override = default;

    // One output per input sample. With labels the samples are used for
    // learning.
    virtual std::vector<std::shared_ptr<Tensor>> forward_samples(
        const std::vector<std::shared_ptr<const Tensor>>& inputs,
        const std::vector<int>* labels) = 0;
};

}  // namespace vorna
