library(testthat)
library(qev)
test_check("qev")
