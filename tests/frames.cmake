# frames tests
