#pragma once

// Where the bytes a download reports come from. Bytes already on disk (a part
// left by an earlier run, blocks copied from an older copy, a local file)
// count towards what is done but say nothing about the speed of the link.
enum class ByteOrigin { network, foundOnDisk };
