#pragma once

#include "c_free.h"

#include <lilv/lilv.h>

#include <memory>

namespace kelvo {

using world_ptr = std::unique_ptr<LilvWorld, c_free<lilv_world_free>>;
using node_ptr = std::unique_ptr<LilvNode, c_free<lilv_node_free>>;
using nodes_ptr = std::unique_ptr<LilvNodes, c_free<lilv_nodes_free>>;
using instance_ptr = std::unique_ptr<LilvInstance, c_free<lilv_instance_free>>;

}  // namespace kelvo
