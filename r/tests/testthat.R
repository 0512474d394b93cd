library(testthat)
library(veltn)
test_check("veltn")
