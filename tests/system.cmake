# system tests
