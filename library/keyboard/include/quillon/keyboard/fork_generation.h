// Which process an object's threads and descriptors belong to. A child of
// fork inherits a copy of every object but none of their threads, and it
// shares their sockets with the parent: what it inherited it must drop
// without touching (no shutdown, no join), and set up its own when needed.
#pragma once

namespace quillon {

/// 0 in the process that loaded the library, one more in each generation
/// of fork children (a pthread_atfork handler counts them). An object that
/// records it when it sets something up can tell it was inherited.
[[nodiscard]] unsigned forkGeneration();

}  // namespace quillon
