// The object the test framework's precompiled header is built with.
