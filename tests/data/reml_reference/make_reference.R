# Reference REML fits by lme4 for tests/reml_test.cpp, run apart from the
# program (R is no dependency of the tests):
#
#   Rscript tests/data/reml_reference/make_reference.R [douglas_c13.dat]
#
# from the top of the source tree. Writes the random designs design_*.csv
# (seeded, so they come out the same) and, for every data set and trait,
# reference.csv (variance components and REML criterion) and blups.csv (the
# family effects of ranef). The Douglas-fir file is GPL-3 and stays where it
# is kept; its path defaults to /work/shared/data/douglas_c13.dat.
#
# lme4's REML criterion is -2 log-likelihood with its own fixed-effect
# matrix X (intercept, site contrasts, block-within-site contrasts).
# A change of basis X T adds 2 log|T| = log|X'X| - log|Xb'Xb|, Xb the block
# indicators; logdet_shift is that constant, so criterion - logdet_shift is
# -2 log-likelihood with block indicators.
suppressPackageStartupMessages(library(lme4))
args <- commandArgs(trailingOnly = TRUE)
douglas <- if (length(args) >= 1) args[1] else "/work/shared/data/douglas_c13.dat"
here <- "tests/data/reml_reference"

read_dat <- function(path, traits) {
  widths <- c(4, 4, 6, 4, rep(10, traits))
  d <- read.fwf(path, widths = widths, colClasses = "numeric")
  names(d) <- c("site", "block", "family", "age", paste0("y", seq_len(traits)))
  d
}

control <- lmerControl(optimizer = "nloptwrap", calc.derivs = FALSE,
                       optCtrl = list(xtol_abs = 1e-14, ftol_abs = 1e-15, xtol_rel = 1e-14,
                                      ftol_rel = 1e-15, maxeval = 100000))

fit_one <- function(name, d, trait) {
  d <- d[!is.na(d[[trait]]), ]
  d$y <- d[[trait]]
  d$site <- factor(d$site)
  d$block <- factor(d$block)
  d$family <- factor(d$family)
  one_site <- nlevels(d$site) == 1
  fixed <- if (one_site) "y ~ block" else "y ~ site/block"
  fit_with <- function(random) lmer(as.formula(paste(fixed, random)), data = d, REML = TRUE, control = control)
  fit <- fit_with(if (one_site) "+ (1 | family)" else "+ (1 | family) + (1 | site:family)")
  vc <- as.data.frame(VarCorr(fit))
  vsf <- if (one_site) NA else vc$vcov[vc$grp == "site:family"]
  # The fits without each term, for the likelihood-ratio tests.
  no_family <- if (one_site) lm(y ~ block, data = d) else fit_with("+ (1 | site:family)")
  no_cells <- if (one_site) NA else REMLcrit(fit_with("+ (1 | family)"))
  no_family <- if (one_site) -2 * as.numeric(logLik(no_family, REML = TRUE)) else REMLcrit(no_family)
  X <- getME(fit, "X")
  nb <- table(interaction(d$site, d$block, drop = TRUE))
  shift <- as.numeric(determinant(crossprod(X))$modulus) - sum(log(as.numeric(nb)))
  re <- ranef(fit)$family
  list(row = data.frame(dataset = name, trait = trait, trees = nrow(d),
                        vf = vc$vcov[vc$grp == "family"], vsf = vsf,
                        ve = vc$vcov[vc$grp == "Residual"], criterion = REMLcrit(fit),
                        logdet_shift = shift, criterion_no_family = no_family,
                        criterion_no_cells = no_cells),
       blups = data.frame(dataset = name, trait = trait, family = rownames(re), blup = re[, 1]))
}

# Random unbalanced designs: sites with their own number of blocks, families
# missing from some sites, plots of 0 to 3 trees.
make_design <- function(seed, sites, blocks, families, vf, vsf, ve, missing_y2 = 0) {
  set.seed(seed)
  rows <- list()
  fam_eff <- rnorm(families, 0, sqrt(vf))
  for (s in seq_len(sites)) {
    nb <- sample(blocks, 1)
    at_site <- sort(sample(families, max(2, round(families * runif(1, 0.6, 1)))))
    cell_eff <- rnorm(families, 0, sqrt(vsf))
    block_eff <- rnorm(nb, 0, 2)
    for (b in seq_len(nb)) for (f in at_site) {
      for (k in seq_len(sample(0:3, 1, prob = c(0.15, 0.35, 0.3, 0.2)))) {
        y1 <- 10 * s + block_eff[b] + fam_eff[f] + cell_eff[f] + rnorm(1, 0, sqrt(ve))
        y2 <- 50 + 0.5 * fam_eff[f] + rnorm(1, 0, sqrt(2 * ve))
        rows[[length(rows) + 1]] <- c(s, b, 100 + f, round(y1, 3), round(y2, 3))
      }
    }
  }
  d <- as.data.frame(do.call(rbind, rows))
  names(d) <- c("site", "block", "family", "y1", "y2")
  if (missing_y2 > 0) d$y2[sample(nrow(d), round(missing_y2 * nrow(d)))] <- NA
  d
}

designs <- list(
  design_1 = list(seed = 11, sites = 3, blocks = 2:4, families = 12, vf = 2, vsf = 1, ve = 4),
  design_2 = list(seed = 12, sites = 4, blocks = 2:5, families = 20, vf = 1, vsf = 0.5, ve = 3),
  design_3 = list(seed = 13, sites = 2, blocks = 3:4, families = 15, vf = 3, vsf = 2, ve = 5, missing_y2 = 0.2),
  design_4 = list(seed = 14, sites = 5, blocks = 2:3, families = 8, vf = 0.5, vsf = 1.5, ve = 2),
  design_5 = list(seed = 15, sites = 3, blocks = 2:4, families = 10, vf = 1, vsf = 0, ve = 6),
  design_6 = list(seed = 16, sites = 6, blocks = 1:3, families = 25, vf = 2, vsf = 0.7, ve = 4))

rows <- list()
blups <- list()
add <- function(r) {
  rows[[length(rows) + 1]] <<- r$row
  blups[[length(blups) + 1]] <<- r$blups
}
for (name in names(designs)) {
  d <- do.call(make_design, designs[[name]])
  write.csv(d, file.path(here, paste0(name, ".csv")), row.names = FALSE, na = "NA", quote = FALSE)
  d <- read.csv(file.path(here, paste0(name, ".csv")))
  for (trait in c("y1", "y2")) add(fit_one(name, d, trait))
}
# One site: no site x family term.
add(fit_one("design_2_site1", subset(read.csv(file.path(here, "design_2.csv")), site == 1), "y1"))
add(fit_one("bamboo", read_dat("examples/bamboo_height.dat", 1), "y1"))
maize <- read_dat("examples/maize2010_6traits.dat", 6)
for (t in 1:6) add(fit_one("maize", maize, paste0("y", t)))
if (file.exists(douglas)) add(fit_one("douglas", read_dat(douglas, 1), "y1"))

out <- do.call(rbind, rows)
write.csv(format(out, digits = 15), file.path(here, "reference.csv"), row.names = FALSE, quote = FALSE)
write.csv(format(do.call(rbind, blups), digits = 15), file.path(here, "blups.csv"), row.names = FALSE, quote = FALSE)
writeLines(c(R.version.string, paste("lme4", packageVersion("lme4")), paste("nloptr", packageVersion("nloptr"))),
           file.path(here, "versions.txt"))
print(out)
