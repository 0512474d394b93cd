function prob = problem(net, X, Y)
  %PROBLEM Function handles over fixed data, shaped for the optimisers.
  %
  %   prob = veltn.problem(net, X, Y)
  %
  %   X and Y are checked once, here, and kept. prob is a struct of function handles:
  %     prob.objective  [J, g, Hinfo] = prob.objective(p): the objective and its gradient, for
  %                     fminunc with 'GradObj','on' (Octave, older MATLAB) or
  %                     'SpecifyObjectiveGradient',true. Hinfo is p itself, the third output
  %                     MATLAB's trust-region algorithm hands to 'HessianMultiplyFcn'.
  %     prob.hessmult   W = prob.hessmult(Hinfo, V): Hessian times the columns of V at Hinfo,
  %                     for 'HessianMultiplyFcn'.
  %     prob.hessian    H = prob.hessian(p): the full Hessian.
  %     prob.gnmult     W = prob.gnmult(Hinfo, V): Gauss-Newton products, positive
  %                     semi-definite on sum_sq and sum_pseudo_huber, for 'HessianMultiplyFcn'.
  %     prob.residuals  [r, JAC] = prob.residuals(p): the least-squares pair for lsqnonlin
  %                     ('Jacobian','on' / 'SpecifyObjectiveGradient',true): r = terms(:) and
  %                     its Jacobian, rows in the same order. With the norm sum the terms are the
  %                     residuals F - Y. On any other norm its first call warns (veltn:norm):
  %                     a solver would square the terms again.
  %     prob.net, prob.X, prob.Y   the network and the data.
  %
  %   Example (Octave and MATLAB):
  %     prob = veltn.problem(net, X, Y);
  %     opts = optimset('GradObj', 'on', 'TolFun', 1e-12, 'TolX', 1e-12, 'MaxIter', 500);
  %     p = fminunc(prob.objective, p0, opts);
  %
  %   See also veltn.Network.
  if nargin ~= 3
    error('veltn:badArgument', 'veltn.problem: expected (net, X, Y)');
  end
  if ~isa(net, 'veltn.Network')
    error('veltn:badHandle', 'net: expected a veltn.Network, got class %s', class(net));
  end
  % One evaluation checks X and Y against the network (shapes, class) before they are kept.
  net.residuals(zeros(net.NParams, 1), X, Y);
  prob = struct();
  prob.objective = @(p) objective_gradient(net, p, X, Y);
  prob.hessmult = @(Hinfo, V) net.hvp(Hinfo, V, X, Y);
  prob.hessian = @(p) net.hessian(p, X, Y);
  prob.gnmult = @(Hinfo, V) net.gnvp(Hinfo, V, X, Y);
  norm_name = net.normName();
  if strcmp(norm_name, 'sum')
    prob.residuals = @(p) least_squares(net, p, X, Y);
  else
    warned = containers.Map();  % a handle: the first call warns, the later ones do not
    prob.residuals = @(p) least_squares(net, p, X, Y, warned, norm_name);
  end
  prob.net = net;
  prob.X = X;
  prob.Y = Y;
end

function [J, g, Hinfo] = objective_gradient(net, p, X, Y)
  if nargout < 2
    J = net.objective(p, X, Y);
  else
    [J, g] = net.gradient(p, X, Y);
    g = reshape(g, size(p));
    Hinfo = p;
  end
end

function [r, JAC] = least_squares(net, p, X, Y, warned, norm_name)
  if nargin > 4 && ~isKey(warned, 'norm')
    warned('norm') = true;
    warning('veltn:norm', ['veltn.problem: the least-squares pair returns the terms of the norm "%s", ' ...
            'which a least-squares solver squares again; build the network with the norm "sum", ' ...
            'whose terms are the residuals F - Y'], norm_name);
  end
  if nargout < 2
    r = net.terms(p, X, Y);
  else
    [JAC, r] = net.jacobian(p, X, Y);
  end
  r = r(:);
end
