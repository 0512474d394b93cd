% fit.m: fits a small network to a generated regression problem (2 inputs, 1 output, 300 rows)
% with fminunc and the exact gradient, on the norm sum_sq (the mean of r^2/2). Prints the
% iterations and the final gradient norm, and writes fit.png when a graphics toolkit can draw
% (octave-cli without one skips the plot).
%
% Octave, from the repository after a build (`scripts/test.sh` or cmake with VELTN_BUILD_OCTAVE):
%   octave-cli examples/fit.m
% Elsewhere, put the installed folder (PREFIX/share/veltn/matlab) on the path first.

if exist('veltn_mex', 'file') ~= 3
  here = fileparts(mfilename('fullpath'));
  addpath(fullfile(here, '..', 'matlab'), fullfile(here, '..', 'build', 'matlab'));
end

rand('seed', 0);   %#ok<RAND> reproducible data within one program
randn('seed', 0);  %#ok<RAND>
X = 4 * rand(300, 2) - 2;                                  % row i is sample i
Y = 0.8 * sin(X(:, 1)) .* cos(0.5 * X(:, 2)) + 0.05 * randn(300, 1);

net = veltn.Network('2 1 2 1 32 2 3 atan sum_sq');         % 13 parameters
prob = veltn.problem(net, X, Y);
p0 = 0.5 * randn(net.NParams, 1);
[J0, g0] = prob.objective(p0);
fprintf('start: objective %.6g, |gradient| %.3e\n', J0, norm(g0));

% One line per iteration (fprintf's byte count is never negative, so the function returns false:
% go on). funccount and fval are fields in both Octave's and MATLAB's optimValues.
progress = @(p, v, state) strcmp(state, 'iter') && ...
           fprintf('  %4d evaluations  objective %.12g\n', v.funccount, v.fval) < 0;
opts = optimset('GradObj', 'on', 'TolFun', 1e-14, 'TolX', 1e-14, 'MaxIter', 1000, 'MaxFunEvals', 5000, ...
                'OutputFcn', progress);
[p, J, info, out] = fminunc(prob.objective, p0, opts);
[~, g] = prob.objective(p);
fprintf('fminunc: %d iterations, exit flag %d, objective %.6g, |gradient| %.3e (%.1e of the start)\n', ...
        out.iterations, info, J, norm(g), norm(g) / norm(g0));

% The plot: data against the fitted surface on a grid.
try
  if exist('OCTAVE_VERSION', 'builtin') && isempty(available_graphics_toolkits())
    error('no graphics toolkit');
  end
  [a, b] = meshgrid(linspace(-2, 2, 41));
  F = reshape(net.outputs(p, [a(:), b(:)]), size(a));
  h = figure('visible', 'off');
  mesh(a, b, F);
  hold on;
  plot3(X(:, 1), X(:, 2), Y, 'k.');
  title(sprintf('fminunc on sum\\_sq: %d iterations', out.iterations));
  print(h, '-dpng', 'fit.png');
  close(h);
  fprintf('wrote fit.png\n');
catch err
  fprintf('no plot (%s)\n', err.message);
end
