# link tests
