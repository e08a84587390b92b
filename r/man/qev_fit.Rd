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
\alias{logLik.qev_fit}
\title{Fit the life-table curve to one table}
\description{
Fits \eqn{l(x) = 1 / (a u^3 + b (e^u - 1)^{0.5} + c (1 - e^{-2x}) + 1)},
\eqn{u = x / (105 - x)}, to records of age and share still alive by a
downhill simplex search on the RMS error, bit for bit as the qev command
line fits a data file of the same records.
}
\usage{
qev_fit(age, value, start = NULL, restarts = 0)
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
\method{logLik}{qev_fit}(object, \dots)
}
\arguments{
  \item{age}{whole-number ages, at most 200, in any order.}
  \item{value}{the shares still alive at those ages, numbers.  NA or NaN
    is a value that is not a share: a data check, and the fit is
    \code{no-fit}.}
  \item{start}{three finite numbers where the search starts (default 0.03,
    0.05, 0.01).}
  \item{restarts}{a whole number, 0 to 1000: a search that runs 10000
    iterations starts again from its best vertex up to this many times, as
    \code{qev --restarts} does.}
  \item{x, object}{a fit.}
  \item{parm}{parameters of the intervals, by name or number.}
  \item{level}{the confidence level.}
  \item{newdata}{ages, or a data frame with a column \code{age}, \code{Age}
    or \code{x}; NA gives NA.}
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

\code{status} is \code{converged}, \code{not-convergent} (10000 iterations
ran), \code{no-fit} (an error was NaN) or \code{too-few-records} (fewer than
4).  \code{e0_fit}, the area under the fitted curve from 0 to 105, is NaN
unless the status is \code{converged} or \code{not-convergent}, as the
standard errors are.  \code{e0_table} sums trapezoids over the records in
age order from (0, 1) and closes the table with the fitted curve.

The checks that describe a table as a table (\code{rises},
\code{age-again}, \code{l0}, \code{age-105}) and \code{e0_table} go by age,
ties in their order, so a table in any order gets the checks of the same
table sorted by age.  The search runs over the records in their order, so
for a table out of age order a, b and c (and so \code{e0_table}'s tail) may
differ from the sorted table's in their last bits.

\code{plot} draws the records, the curve and the residuals, says so in its
title when the search did not converge, and refuses to draw a curve where
there is no fit.  \code{logLik} (and so \code{AIC} and \code{BIC}) is that of
\code{nls()} for the same fit: Gaussian errors, 4 degrees of freedom (a, b,
c and the variance).
}
\section{Standard errors}{
The standard errors (\code{se_a}, \code{se_b}, \code{se_c}, \code{vcov}) are
the Gauss-Newton ones of \code{nls()}, \eqn{s^2 (J'J)^{-1}} at the reported
vertex, and \code{se_e0_fit} their delta-method image.  They assume
independent errors of one variance, which the values of one life table are
not (each l(x) is built from the ones before it): read them, and
\code{logLik}, \code{AIC} and \code{BIC}, as a scale of how well the curve
is pinned down, not as sampling errors.
}
\examples{
d <- qev_read_table(system.file("extdata", "us-2011-male.dat", package = "qev"))
f <- qev_fit(d$age, d$value)
f
summary(f)
coef(f)
confint(f)
predict(f, c(0, 50, 50.5, 110, NA))
AIC(f)
head(as.data.frame(f))
plot(f)
}
