// The object the test suites' shared precompiled header is built with.
