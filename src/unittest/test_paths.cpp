// self-tests
