// The worker pool as the merge driver uses it.
#pragma once

#include "pool/for_each.hpp"
#include "common/function_ref.hpp"
#include "pool/global.hpp"
#include "pool/join.hpp"
#include "pool/pool_cache.hpp"
#include "pool/registry.hpp"
#include "pool/thread_count.hpp"
