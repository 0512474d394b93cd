classdef (Sealed) Network < handle
  %NETWORK A libveltn network, evaluated in process through the MEX file veltn_mex.
  %
  %   net = veltn.Network(description)
  %   net = veltn.Network(description, 'Threads', t, 'Batch', b)
  %
  %   description is the one-line network description, for example
  %   '2 1 2 1 32 2 6 atan sum_sq'. 'Threads' (default 1) is the number of threads the rows are
  %   split over, 'Batch' (default 32) the rows per batch.
  %
  %   Arrays are ordinary MATLAB matrices of doubles (real and full):
  %     p  the NParams parameters, a vector
  %     X  R x C inputs, row i = sample i, 1 <= C <= NInputs (missing columns read as zeros);
  %        NInputs is the smaller of numin and the first layer's width s_0
  %     Y  R x NOutputs targets
  %     V  NParams x k directions, one per column
  %     U  R x NOutputs weights (one vector) or (R*NOutputs) x m, rows in the order of terms(:)
  %
  %   Methods (each checks its arguments before the library is called):
  %     F = net.outputs(p, X)               R x NOutputs network outputs
  %     r = net.residuals(p, X, Y)          R x NOutputs, F - Y
  %     t = net.terms(p, X, Y)              R x NOutputs, the norm's term of each residual
  %     J = net.objective(p, X, Y)          the mean of the terms
  %     [J, g] = net.gradient(p, X, Y)      objective and gradient (NParams x 1)
  %     [HV, J, g] = net.hvp(p, V, X, Y)    Hessian-vector products, NParams x k
  %     [H, J, g] = net.hessian(p, X, Y)    the NParams x NParams Hessian
  %     [JV, t] = net.jvp(p, V, X, Y)       Jacobian of terms(:) times V, (R*NOutputs) x k
  %     [VJ, t] = net.vjp(p, U, X, Y)       U' times the Jacobian of terms(:), NParams x m
  %     [JAC, t] = net.jacobian(p, X, Y)    the Jacobian of terms(:), (R*NOutputs) x NParams
  %     [GV, J, g] = net.gnvp(p, V, X, Y)   Gauss-Newton products G*V, NParams x k
  %
  %   G = Jo' * diag(phi''(r)) * Jo / (R*NOutputs), with Jo the Jacobian of the outputs and phi''
  %   the norm's second derivative, is positive semi-definite for sum_sq and sum_pseudo_huber
  %   (not for sum_log_dnorm_fat, whose phi'' is negative in the tail; 0 for sum). With the norm
  %   sum the terms are the residuals F - Y and jacobian is the Jacobian of the outputs.
  %
  %   Errors: veltn:badType (not a real full double), veltn:badShape, veltn:badArgument,
  %   veltn:badHandle (a released network, or one that did not come from this constructor),
  %   veltn:error (a library failure, with its message) and veltn:fpe (a floating-point event
  %   such as NaN in the inputs). Lines the library writes are printed after the call, those for
  %   standard error as warnings veltn:message. A call cannot be interrupted while it runs
  %   (Ctrl-C takes effect when it returns).
  %
  %   A network is a handle: copies name the same network, and delete(net) (or clearing the last
  %   copy) releases it; `clear mex` and `clear all` release every network. A network does not
  %   survive saving and loading.
  %
  %   See also veltn.problem.

  properties (SetAccess = private)
    NParams = 0;       % number of parameters
    NInputs = 0;       % largest number of input columns: min(numin, s_0) of the description
    NOutputs = 0;      % number of outputs (target columns)
    Description = '';  % the description the network was built from
  end

  % The token that names this network in veltn_mex's registry. Not saved (MATLAB); Octave saves
  % it into a plain struct, which veltn_mex refuses: it accepts only a veltn.Network object.
  properties (SetAccess = private, Hidden, Transient)
    Handle = uint64(0);
  end

  methods
    function net = Network(description, varargin)
      if nargin < 1
        error('veltn:badArgument', 'veltn.Network: a description is needed, for example ''2 1 2 1 32 2 6 atan sum_sq''');
      end
      if isa(description, 'string')
        description = char(description);
      end
      if ~ischar(description) || (~isempty(description) && ~isrow(description))
        error('veltn:badType', 'description: expected a character row vector, got class %s', class(description));
      end
      threads = 1;
      batch = 32;
      if mod(numel(varargin), 2) ~= 0
        error('veltn:badArgument', 'veltn.Network: options come in name/value pairs (''Threads'', t, ''Batch'', b)');
      end
      for i = 1:2:numel(varargin)
        name = varargin{i};
        if ~ischar(name) || ~any(strcmpi(name, {'Threads', 'Batch'}))
          error('veltn:badArgument', 'veltn.Network: unknown option (known: ''Threads'', ''Batch'')');
        end
        if strcmpi(name, 'Threads')
          threads = varargin{i + 1};
        else
          batch = varargin{i + 1};
        end
      end
      [token, np, nin, nout] = veltn_mex('new', description, threads, batch);
      net.Handle = token;
      net.NParams = np;
      net.NInputs = nin;
      net.NOutputs = nout;
      net.Description = description;
      try
        veltn_mex('flush');  % the parser's lines; a warning may have been made an error
      catch err
        veltn_mex('release', net);
        rethrow(err);
      end
    end

    function delete(net)
      % Releases the library's handle; the other copies of this network stop working.
      try
        veltn_mex('release', net);
      catch
        % delete must not fail: without the MEX file there is nothing to release
      end
    end

    function F = outputs(net, p, X)
      F = veltn_mex('outputs', net, p, X);
    end

    function r = residuals(net, p, X, Y)
      r = veltn_mex('residuals', net, p, X, Y);
    end

    function t = terms(net, p, X, Y)
      t = veltn_mex('terms', net, p, X, Y);
    end

    function J = objective(net, p, X, Y)
      J = veltn_mex('objective', net, p, X, Y);
    end

    function [J, g] = gradient(net, p, X, Y)
      [J, g] = veltn_mex('gradient', net, p, X, Y);
    end

    function [HV, J, g] = hvp(net, p, V, X, Y)
      [HV, J, g] = veltn_mex('hvp', net, p, V, X, Y);
    end

    function [H, J, g] = hessian(net, p, X, Y)
      [H, J, g] = veltn_mex('hessian', net, p, X, Y);
    end

    function [JV, t] = jvp(net, p, V, X, Y)
      [JV, t] = veltn_mex('jvp', net, p, V, X, Y);
    end

    function [VJ, t] = vjp(net, p, U, X, Y)
      [VJ, t] = veltn_mex('vjp', net, p, U, X, Y);
    end

    function [JAC, t] = jacobian(net, p, X, Y)
      [JAC, t] = veltn_mex('jacobian', net, p, X, Y);
    end

    function [GV, J, g] = gnvp(net, p, V, X, Y)
      [GV, J, g] = veltn_mex('gnvp', net, p, V, X, Y);
    end

    function name = normName(net)
      % The norm named in the description ('' when the description ends before it).
      f = regexp(strtrim(net.Description), '\s+', 'split');
      f = f(~cellfun(@isempty, f));
      name = '';
      if numel(f) >= 3
        at = 5 + str2double(f{3}) + 2;
        if at <= numel(f)
          name = f{at};
        end
      end
    end
  end
end
