#pragma once

// Life of a deferred result: it leaves PENDING once, for good.
enum class DeferredState { PENDING = 0, RESOLVED = 1, REJECTED = 2 };
