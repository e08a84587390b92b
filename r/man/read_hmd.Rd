\name{read_hmd}
\alias{read_hmd}
\alias{qev_read_table}
\title{Read life tables as qev reads them}
\description{
\code{read_hmd} reads a Human Mortality Database life-table file;
\code{qev_read_table} reads a qev data file of records \dQuote{age value}.
Numbers are read by the C library's \code{strtod}, as the command line reads
them: R's own reader gives a neighbouring double for a few values, and a
table read so can differ from the command line in the last bit.
}
\usage{
read_hmd(path)
qev_read_table(path)
}
\arguments{
  \item{path}{the file.}
}
\value{
\code{read_hmd}: a data frame with the HMD's columns (Year, Age, mx, qx,
ax, lx, dx, Lx, Tx, ex): Year an integer (character for spans of years such
as 1940-1944), Age character, \code{.} as NA.  \code{qev_read_table}: a data
frame with the columns \code{age} and \code{value}.
}
\examples{
d <- read_hmd(system.file("extdata", "USA.fltper_1x1.txt", package = "qev"))
str(d)
t <- qev_read_table(system.file("extdata", "us-2011-female.dat", package = "qev"))
head(t)
}
