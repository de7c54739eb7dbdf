# update tests
