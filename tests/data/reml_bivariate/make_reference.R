# Reference bivariate REML fit by glmmTMB for tests/reml_bivariate_test.cpp,
# run apart from the program (R is no dependency of the tests):
#
#   Rscript tests/data/reml_bivariate/make_reference.R
#
# from the top of the source tree. missing_second.csv holds two traits of a
# trial in which some trees lack the second; each value is one row of the
# long data, so that a tree with one value contributes that value alone.
# The error matrix is a variance of each tree common to both of its values
# (the covariance) plus a residual variance by trait: E11 = s1 + c, E12 = c,
# E22 = s2 + c, which fits a positive error covariance smaller than both
# variances, as this trial's is. (A random effect of the tree with an
# unstructured matrix and the residual held tiny leaves glmmTMB's Laplace
# determinant ill-conditioned, off by some 1e-5 in the log-likelihood.)
# Writes glmmtmb_reference.csv: the nine entries of the family, cell and
# error matrices, and the REML log-likelihood, whose constant, with X the
# trait-by-block indicators, is the program's.
suppressPackageStartupMessages(library(glmmTMB))
here <- "tests/data/reml_bivariate"
wide <- read.csv(file.path(here, "missing_second.csv"))
wide$tree <- seq_len(nrow(wide))
long <- rbind(data.frame(wide[c("site", "block", "family", "tree")], trait = "y1", y = wide$y1),
              data.frame(wide[c("site", "block", "family", "tree")], trait = "y2", y = wide$y2))
long <- long[!is.na(long$y), ]
long$trait <- factor(long$trait)
long$sb <- factor(paste(long$site, long$block))
long$family <- factor(long$family)
long$cell <- factor(paste(long$site, long$family))
long$tree <- factor(long$tree)
fit <- glmmTMB(y ~ 0 + trait:sb + (0 + trait | family) + (0 + trait | cell) + (1 | tree),
               dispformula = ~ 0 + trait, REML = TRUE, data = long,
               control = glmmTMBControl(optCtrl = list(iter.max = 10000, eval.max = 10000)))
vc <- VarCorr(fit)$cond
entries <- function(m) c(m[1, 1], m[1, 2], m[2, 2])
common <- vc$tree[1, 1]
residual <- exp(fixef(fit)$disp)  # the gaussian dispersion is the variance, on the log scale
out <- data.frame(term = rep(c("family", "cell", "error"), each = 3), entry = rep(c("v11", "v12", "v22"), 3),
                  value = c(entries(vc$family), entries(vc$cell), residual[1] + common, common, residual[2] + common))
out <- rbind(out, data.frame(term = "REML", entry = "logLik", value = as.numeric(logLik(fit))))
out$value <- sprintf("%.12g", out$value)
write.csv(out, file.path(here, "glmmtmb_reference.csv"), row.names = FALSE, quote = FALSE)
print(out, digits = 14)
cat(sprintf("logLik %.10f convergence %d\n", as.numeric(logLik(fit)), fit$fit$convergence))
