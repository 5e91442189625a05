# REML fits with lme4 of korvan's model, for timing against korvan-cli:
#   y = site + block within site (fixed) + family + site x family (random) + error
#
#   Rscript lme4_compare.R DATA_FILE TRAITS [FIRST_TRAIT LAST_TRAIT]
#
# DATA_FILE is in the benchmark layout (site 1-4, block 5-8, family 9-14,
# age 15-18, traits from 19 in 10 columns; lines beginning with ":" are
# comments). Writes one tab-separated line per trait to stdout:
#   trait  seconds  Vf  Vsf  Ve
# then "read  SECONDS" (reading the file) and "total  SECONDS" (all fits).
# The seconds are elapsed time, as the driver measures korvan's.

suppressPackageStartupMessages(library(lme4))

args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 2 && length(args) != 4) {
  stop("usage: Rscript lme4_compare.R DATA_FILE TRAITS [FIRST_TRAIT LAST_TRAIT]")
}
dataFile <- args[1]
nTrait <- as.integer(args[2])
firstTrait <- if (length(args) == 4) as.integer(args[3]) else 1L
lastTrait <- if (length(args) == 4) as.integer(args[4]) else nTrait
stopifnot(!is.na(nTrait), nTrait >= 1, firstTrait >= 1, lastTrait <= nTrait, firstTrait <= lastTrait)

readStart <- proc.time()[["elapsed"]]
lines <- readLines(dataFile)
lines <- lines[substr(lines, 1, 1) != ":"]
field <- function(start, width) as.numeric(substr(lines, start, start + width - 1))
site <- factor(field(1, 4))
block <- field(5, 4)
family <- factor(field(9, 6))
trial <- data.frame(
  site = site,
  # Block codes repeat at every site; a block is a site and its code together.
  siteBlock = interaction(site, block, drop = TRUE),
  family = family,
  siteFamily = interaction(site, family, drop = TRUE)
)
traitValues <- lapply(seq_len(nTrait), function(t) field(19 + 10 * (t - 1), 10))
rm(lines)
readSeconds <- proc.time()[["elapsed"]] - readStart

# siteBlock alone spans the mean, the sites and the blocks within sites: the
# same fixed part as site + block within site, without columns lme4 would have
# to drop as aliased.
total <- 0
for (t in firstTrait:lastTrait) {
  trial$y <- traitValues[[t]]
  start <- proc.time()[["elapsed"]]
  fit <- lmer(y ~ siteBlock + (1 | family) + (1 | siteFamily), data = trial, REML = TRUE)
  seconds <- proc.time()[["elapsed"]] - start
  total <- total + seconds
  vc <- as.data.frame(VarCorr(fit))
  vf <- vc$vcov[vc$grp == "family"]
  vsf <- vc$vcov[vc$grp == "siteFamily"]
  ve <- vc$vcov[vc$grp == "Residual"]
  cat(sprintf("%d\t%.3f\t%.6g\t%.6g\t%.6g\n", t, seconds, vf, vsf, ve))
}
cat(sprintf("read\t%.3f\n", readSeconds))
cat(sprintf("total\t%.3f\n", total))
