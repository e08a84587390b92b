# The package's tests, as R CMD check runs them.
library(testthat)
library(qev)
test_check("qev")
