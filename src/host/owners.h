#pragma once

#include <lilv/lilv.h>

#include <memory>

namespace kelvo {

/// Calls a C library's free function; lets unique_ptr own what lilv hands over.
template <auto free_fn>
struct c_free {
    void operator()(auto* p) const noexcept { free_fn(p); }
};

using world_ptr = std::unique_ptr<LilvWorld, c_free<lilv_world_free>>;
using node_ptr = std::unique_ptr<LilvNode, c_free<lilv_node_free>>;
using nodes_ptr = std::unique_ptr<LilvNodes, c_free<lilv_nodes_free>>;
using instance_ptr = std::unique_ptr<LilvInstance, c_free<lilv_instance_free>>;

}  // namespace kelvo
