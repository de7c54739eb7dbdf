# image tests
