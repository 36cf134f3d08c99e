// A libext2fs I/O manager whose channels read and write a stand-in block
// device through the block layer (standin::block::rw_sectors: bios through
// generic_make_request on the device's queue).  Channels open names made by
// blkio_name(dev).  The manager keeps no cache: a write is on the device
// when the call returns.
#pragma once
#include <ext2fs/ext2fs.h>

#include <string>

#include "standin/block.h"

namespace cowguard::workload {

namespace block = standin::block;

extern io_manager standin_io_manager;

std::string blkio_name(block::devnum dev);

}  // namespace cowguard::workload
