// The channel helpers live in tests/support/ChannelTestSupport.cpp (part of vesk_testsupport); this file
// stays so that test lists naming it still build.
