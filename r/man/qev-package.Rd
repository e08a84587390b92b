\name{qev-package}
\alias{qev-package}
\alias{qev}
\docType{package}
\title{qev: fit the three-parameter life-table curve}
\description{
Fits \eqn{l(x) = 1 / (a u^3 + b (e^u - 1)^{0.5} + c (1 - e^{-2x}) + 1)},
\eqn{u = x / (105 - x)}, to life tables by a downhill simplex search on
the RMS error, in process and bit for bit as the \code{qev} command line
fits them.
}
\details{
\itemize{
  \item \code{\link{qev_fit}}: one table (ages and shares still alive),
    with its methods (\code{summary}, \code{coef}, \code{vcov},
    \code{confint}, \code{predict}, \code{plot}, \code{logLik}, ...).
  \item \code{\link{qev_fit_table}} and \code{qev_fitted_table}: every group
    of a long data frame, on several threads.
  \item \code{\link{read_hmd}} and \code{qev_read_table}: a Human Mortality
    Database file, and a qev data file.
}
Data checks are warnings of class \code{qev_data_warning}; rows left out on
purpose are reported with \code{message()}; refused input is an error that
names the record or row.

The package ships four tables and an HMD file, each with its source, in
\code{system.file("extdata", package = "qev")}: \file{us-2011-male.dat},
\file{us-2011-female.dat}, \file{us-1940-male.dat},
\file{finland-2013-female.dat} and \file{USA.fltper_1x1.txt}; see
\file{SOURCES.md} there.
}
\examples{
d <- qev_read_table(system.file("extdata", "finland-2013-female.dat",
                                package = "qev"))
qev_fit(d$age, d$value)
}
