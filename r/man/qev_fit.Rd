\name{qev_fit}
\alias{qev_fit}
\alias{print.qev_fit}
\alias{summary.qev_fit}
\alias{print.summary.qev_fit}
\alias{coef.qev_fit}
\alias{fitted.qev_fit}
\alias{residuals.qev_fit}
\alias{nobs.qev_fit}
\alias{vcov.qev_fit}
\alias{confint.qev_fit}
\alias{predict.qev_fit}
\alias{plot.qev_fit}
\alias{as.data.frame.qev_fit}
\title{Fit the life-table curve to one table}
\description{
Fits \eqn{l(x) = 1 / (a u^3 + b (e^u - 1)^{0.5} + c (1 - e^{-2x}) + 1)},
\eqn{u = x / (105 - x)}, to records of age and share still alive by a
downhill simplex search on the RMS error, bit for bit as the qev command
line fits a data file of the same records.
}
\usage{
qev_fit(age, value, start = NULL)
\method{print}{qev_fit}(x, \dots)
\method{summary}{qev_fit}(object, \dots)
\method{print}{summary.qev_fit}(x, \dots)
\method{coef}{qev_fit}(object, \dots)
\method{fitted}{qev_fit}(object, \dots)
\method{residuals}{qev_fit}(object, \dots)
\method{nobs}{qev_fit}(object, \dots)
\method{vcov}{qev_fit}(object, \dots)
\method{confint}{qev_fit}(object, parm, level = 0.95, \dots)
\method{predict}{qev_fit}(object, newdata, \dots)
\method{plot}{qev_fit}(x, \dots)
\method{as.data.frame}{qev_fit}(x, row.names = NULL, optional = FALSE, \dots)
}
\arguments{
  \item{age}{whole-number ages, at most 200.}
  \item{value}{the shares still alive at those ages, numbers.}
  \item{start}{three numbers where the search starts (default 0.03, 0.05,
    0.01).}
  \item{x, object}{a fit.}
  \item{parm}{parameters of the intervals, by name or number.}
  \item{level}{the confidence level.}
  \item{newdata}{ages, or a data frame with a column \code{age}, \code{Age}
    or \code{x}.}
  \item{row.names, optional}{as for \code{as.data.frame}.}
  \item{\dots}{passed on (to \code{plot}) or ignored.}
}
\value{
An object of class \code{qev_fit}: a list with the fields of a row of
\code{qev --tsv} (\code{a}, \code{b}, \code{c}, \code{rmse},
\code{iterations}, \code{status}, \code{records}, \code{e0_fit},
\code{e0_table}, \code{se_a}, \code{se_b}, \code{se_c}, \code{se_e0_fit},
\code{checks}), the covariances and the records.  \code{predict} gives the
curve at any ages, NaN outside 0 to 105; \code{confint} uses the normal
approximation with the standard errors of \code{vcov}.  The data checks
become warnings of class \code{qev_data_warning}, with the command line's
texts; refused input is an error naming the record.
}
\examples{
d <- qev_read_table(system.file("extdata", "us-2011-male.dat", package = "qev"))
f <- qev_fit(d$age, d$value)
f
summary(f)
coef(f)
confint(f)
predict(f, c(0, 50, 50.5, 110))
head(as.data.frame(f))
plot(f)
}
