function run_tests()
  % Octave tests of the MATLAB/Octave binding (ctest: octave_binding). Directories come from VELTN_*_DIR;
  % without VELTN_DRIVER_DIR the comparisons with the drivers are skipped.
  cellfun(@(v) addpath(getenv(v)), {'VELTN_MATLAB_DIR', 'VELTN_MEX_DIR', 'VELTN_TEST_MEX_DIR'});
  tests = {@test_driver_values, @test_layouts, @test_storage_order_flag, @test_bad_calls, @test_handles, ...
           @test_messages, @test_problem, @test_fminunc, @test_jacobian, @test_gauss_newton, @test_least_squares_pair};
  failed = {};
  for i = 1:numel(tests)
    name = func2str(tests{i});
    try
      tests{i}(); fprintf('ok      %s\n', name);
    catch err
      fprintf('FAILED  %s: %s\n', name, err.message); failed{end + 1} = name; %#ok<AGROW>
    end
  end
  fprintf('%d of %d test groups passed\n', numel(tests) - numel(failed), numel(tests));
  if ~isempty(failed), error('veltn_tests:failed', 'failed: %s', strjoin(failed, ', ')); end
end
function check(cond, varargin)
  if ~cond, error('veltn_tests:check', varargin{:}); end
end
function check_close(a, b, tol, what)
  check(isequal(size(a), size(b)), '%s: size %s, expected %s', what, mat2str(size(a)), mat2str(size(b)));
  err = max(abs(a(:) - b(:))) / max(1, max(abs(b(:))));
  check(err <= tol, '%s: relative difference %g above %g', what, err, tol);
end
% f must fail with identifier id and, when text is given, a message holding it.
function check_error(f, id, what, text)
  try
    f();
  catch err
    check(strcmp(err.identifier, id), '%s: error %s (%s), expected %s', what, err.identifier, err.message, id);
    if nargin > 3 && ~isempty(text)
      check(~isempty(strfind(err.message, text)), '%s: message %s', what, err.message);
    end
    return;
  end
  error('veltn_tests:check', '%s: no error, expected %s', what, id);
end
function v = load_one(file)
  v = struct2cell(load(file)){1};
end
% Runs one driver on a fresh copy of the bundled data (and vj's weights); returns its directory.
function dir = run_driver(name)
  ex = getenv('VELTN_EXAMPLES_DIR');
  dir = tempname(); mkdir(dir);
  copyfile(fullfile(ex, 'data', '*'), dir);
  if strcmp(name, 'vj_driver'), copyfile(fullfile(ex, 'vj', 'd_v0.mat'), dir); end
  cmd = sprintf('NN_DATA_DIR=''%s'' ''%s'' > /dev/null', dir, fullfile(getenv('VELTN_DRIVER_DIR'), name));
  [status, out] = system(cmd);
  check(status == 0, '%s failed (%d): %s', name, status, out);
end
% Values against the drivers' result files, bit for bit.
function test_driver_values()
  if isempty(getenv('VELTN_DRIVER_DIR'))
    fprintf('        (drivers not built: comparisons with their results skipped)\n'); return;
  end
  ex = fullfile(getenv('VELTN_EXAMPLES_DIR'), 'data');
  lines = regexp(fileread(fullfile(ex, 'config.txt')), '\n', 'split');
  net = veltn.Network(strjoin(lines(2:end), ' '));   % line 1 is a comment
  d = cellfun(@load_one, [fullfile(ex, {'data.mat', 'specs.mat', 'v0.mat', 'd_v0.mat'}), ...
                           {fullfile(getenv('VELTN_EXAMPLES_DIR'), 'vj', 'd_v0.mat')}], 'UniformOutput', false);
  [X, Y, p, V, U] = d{:};
  check(size(X, 2) == 3 && size(V, 2) == 3 && numel(p) == net.NParams, 'unexpected bundled data');
  [dirs, res] = deal({});
  c = onCleanup(@() cellfun(@(d) rmdir(d, 's'), dirs));
  runs = {  % driver, call, the files its results equal ('' for none, (:) for a column of the file)
    'grad_driver',    @() net.gradient(p, X, Y),   {'J.mat', 'g.mat(:)'}
    'hessian_driver', @() net.hessian(p, X, Y),    {'H.mat'}
    'hv_driver',      @() net.hvp(p, V, X, Y),     {'Hv.mat', '', 'g.mat(:)'}
    'jv_driver',      @() net.jvp(p, V, X, Y),     {'Jv.mat', 'res.mat'}
    'vj_driver',      @() net.vjp(p, U, X, Y),     {'vJ.mat(:)', 'res.mat'}
  };
  for i = 1:size(runs, 1)
    dirs{end + 1} = run_driver(runs{i, 1}); %#ok<AGROW>
    files = runs{i, 3};
    res{i} = cell(1, numel(files)); %#ok<AGROW>
    [res{i}{:}] = runs{i, 2}();
    for k = find(~cellfun(@isempty, files))
      want = load_one(fullfile(dirs{end}, strrep(files{k}, '(:)', '')));
      if numel(files{k}) > 3 && strcmp(files{k}(end - 2:end), '(:)'), want = want(:); end
      check(isequal(res{i}{k}, want), '%s: result %d differs from %s', runs{i, 1}, k, files{k});
    end
  end
  check(isequal(res{4}{2}, net.terms(p, X, Y)), 'jvp''s terms differ from terms');
end
% "3 2 2 1 32 3 4 atan sum_sq" written out in M: 3 inputs, 4 hidden units, 2 outputs, atan on
% both layers; each layer's bias, then its weights row-major (row = input unit).
function F = forward_m(p, X)
  X = [X, zeros(size(X, 1), 3 - size(X, 2))];
  H = atan(X * reshape(p(5:16), 4, 3).' + p(1:4).');
  F = atan(H * reshape(p(19:26), 2, 4).' + p(17:18).');
end
function [net, p, X, Y, V] = small_problem()
  net = veltn.Network('3 2 2 1 32 3 4 atan sum_sq', 'Batch', 4);
  p = 0.6 * sin(1.3 * (1:net.NParams)).';
  X = reshape(cos(0.7 * (1:21)), 7, 3);
  Y = reshape(0.5 * sin(1:14), 7, 2);
  V = reshape(sin(0.31 * (1:3 * net.NParams)), net.NParams, 3);
end
% Layouts: every result against a route of its own.
function test_layouts()
  [net, p, X, Y, V] = small_problem();
  check(net.NParams == 26 && net.NInputs == 3 && net.NOutputs == 2, 'properties %d %d %d', net.NParams, net.NInputs, net.NOutputs);
  % A call takes min(numin, s_0) columns: with numin 5 > s_0 3, a fourth column is a shape error.
  wide = veltn.Network('5 2 2 1 32 3 4 atan sum_sq');
  check(wide.NInputs == 3, 'NInputs %d with numin 5 and s_0 3', wide.NInputs);
  check_error(@() wide.outputs(p, [X, X(:, 1)]), 'veltn:badShape', 'four columns for s_0 = 3');
  F = forward_m(p, X);
  T = net.terms(p, X, Y);
  check_close(net.outputs(p, X), F, 1e-14, 'outputs');
  check_close(net.outputs(p, X(:, 1:2)), forward_m(p, X(:, 1:2)), 1e-14, 'outputs with 2 of 3 columns');
  check_close(net.residuals(p, X, Y), F - Y, 1e-14, 'residuals');
  check_close(T, (F - Y) .^ 2 / 2, 1e-14, 'terms');
  check_close(net.objective(p, X, Y), mean((F(:) - Y(:)) .^ 2 / 2), 1e-14, 'objective');
  % Central differences of the objective, of terms(:) and of the gradient (the Hessian's columns).
  [h, n] = deal(1e-6, net.NParams);
  grad = @(q) nthargout(2, @(r) net.gradient(r, X, Y), q);
  [gcd, Jcd, Hcd] = deal(zeros(n, 1), zeros(numel(Y), n), zeros(n, n));
  for i = 1:n
    e = h * ((1:n) == i).';
    gcd(i) = (net.objective(p + e, X, Y) - net.objective(p - e, X, Y)) / (2 * h);
    Jcd(:, i) = reshape(net.terms(p + e, X, Y) - net.terms(p - e, X, Y), [], 1) / (2 * h);
    Hcd(:, i) = (grad(p + e) - grad(p - e)) / (2 * h);
  end
  [J, g] = net.gradient(p, X, Y);
  check(size(g, 2) == 1, 'gradient is not a column');
  check_close(g, gcd, 1e-7, 'gradient against central differences');
  [H, JH, gH] = net.hessian(p, X, Y);
  check_close(H, Hcd, 1e-6, 'hessian against central differences');
  check(JH == J && isequal(gH, g), 'hessian''s objective and gradient');
  [HV, ~, gV] = net.hvp(p, V, X, Y);
  check_close(HV, Hcd * V, 1e-6, 'hvp (26 x 3) against central differences');
  check(isequal(gV, g), 'hvp''s gradient');
  check_close(net.hvp(p, V(:, 2), X, Y), HV(:, 2), 1e-14, 'hvp with one direction');
  % Empty arrays (MATLAB may give their data as NULL) are sizes, not failures.
  check(isequal(size(net.hvp(p, zeros(n, 0), X, Y)), [n, 0]), 'hvp with no direction');
  check(isequal(size(net.jvp(p, zeros(n, 0), X, Y)), [14, 0]), 'jvp with no direction');
  check(isequal(size(net.vjp(p, zeros(14, 0), X, Y)), [n, 0]), 'vjp with no weights');
  check(isequal(size(net.outputs(p, zeros(0, 3))), [0, 2]), 'outputs of no rows');
  [JV, t] = net.jvp(p, V, X, Y);
  check_close(JV, Jcd * V, 1e-6, 'jvp (14 x 3) rows in the order of terms(:)');
  check(isequal(t, T), 'jvp''s terms');
  check_close(net.jvp(p, V(:, 3), X, Y), JV(:, 3), 1e-14, 'jvp with one direction');
  U = reshape(cos(0.17 * (1:numel(Y) * 4)), numel(Y), 4);   % (R*nout) x 4
  [VJ, t] = net.vjp(p, U, X, Y);
  check_close(VJ, Jcd.' * U, 1e-6, 'vjp (26 x 4) with U rows in the order of terms(:)');
  check(isequal(t, T), 'vjp''s terms');
  check_close(net.vjp(p, reshape(U(:, 2), 7, 2), X, Y), VJ(:, 2), 1e-13, 'vjp with U as R x NOutputs');
  check_close(net.vjp(p, ones(7, 2) / 14, X, Y), g, 1e-14, 'vjp with weights 1/(R*nout) is the gradient');
  [JAC, t] = net.jacobian(p, X, Y);
  check_close(JAC, Jcd, 1e-7, 'jacobian (14 x 26) against central differences, rows of terms(:)');
  check(isequal(t, T), 'jacobian''s terms');
  g2 = nthargout(2, @() veltn.Network(net.Description, 'Threads', 2, 'Batch', 3).gradient(p, X, Y));
  check_close(g2, g, 1e-13, 'gradient with 2 threads, batch 3');
end
% The flag belongs to the process: the binding reads it per call and gives the same results.
function test_storage_order_flag()
  [net, p, X, Y, V] = small_problem();
  U = reshape(cos(0.17 * (1:numel(Y) * 2)), numel(Y), 2);
  names = {'hvp', 'jvp', 'hessian', 'gnvp', 'vjp'};
  all_of = @() {net.hvp(p, V, X, Y), net.jvp(p, V, X, Y), net.hessian(p, X, Y), net.gnvp(p, V, X, Y), ...
                net.vjp(p, U, X, Y)};
  check(veltn_test_rowmajor() == 0, 'flag not 0 at start');
  R0 = all_of();
  veltn_test_rowmajor(1);
  c = onCleanup(@() veltn_test_rowmajor(0));
  R1 = all_of();
  check(veltn_test_rowmajor() == 1, 'the binding changed the flag');
  for k = 1:4
    check_close(R1{k}, R0{k}, 1e-14, [names{k}, ' with directions as rows']);
  end
  check(isequal(R1{5}, R0{5}), 'vjp does not depend on the flag');
end
function test_bad_calls()
  [net, p, X, Y, V] = small_problem();
  Xc = complex(X, 0 * X);
  Xn = X; Xn(3, 2) = NaN; Yi = Y; Yi(2, 1) = Inf;
  Vn = V; Vn(5, 1) = NaN; pn = p; pn(7) = NaN;
  gone = veltn.Network('3 2 2 1 32 3 4 atan sum_sq'); delete(gone);
  nonorm = veltn.Network('3 2 2 1 32 3 4 atan nonorm');
  desc = '2 1 2 1 32 2 3 atan sum_sq';
  cases = {  % what, call, identifier, text the library's message holds ('' for no check)
    'X with 4 columns',        @() net.outputs(p, [X, X(:, 1)]),          'veltn:badShape', ''
    'X with 0 columns',        @() net.outputs(p, zeros(7, 0)),            'veltn:badShape', ''
    'X with 0 rows (gradient)',@() net.gradient(p, zeros(0, 3), zeros(0, 2)), 'veltn:badShape', ''
    'Y with 6 rows',           @() net.gradient(p, X, Y(1:6, :)),          'veltn:badShape', ''
    'Y with 1 column',         @() net.objective(p, X, Y(:, 1)),           'veltn:badShape', ''
    'Y transposed',            @() net.terms(p, X, Y.'),                   'veltn:badShape', ''
    'p too short',             @() net.gradient(p(1:end - 1), X, Y),       'veltn:badShape', ''
    'p as a matrix',           @() net.gradient(reshape([p; p], [], 2), X, Y), 'veltn:badShape', ''
    'V with n-1 rows',         @() net.hvp(p, V(2:end, :), X, Y),          'veltn:badShape', ''
    'V transposed',            @() net.jvp(p, V.', X, Y),                  'veltn:badShape', ''
    'U of 13 rows',            @() net.vjp(p, ones(13, 1), X, Y),          'veltn:badShape', ''
    'U transposed',            @() net.vjp(p, ones(2, 7), X, Y),           'veltn:badShape', ''
    'jacobian: Y of 1 column', @() net.jacobian(p, X, Y(:, 1)),            'veltn:badShape', ''
    'gnvp: V with 5 rows',     @() net.gnvp(p, V(1:5, :), X, Y),           'veltn:badShape', ''
    'complex X',               @() net.outputs(p, Xc),                     'veltn:badType', ''
    'complex p',               @() net.gradient(complex(p, 1), X, Y),      'veltn:badType', ''
    'complex V',               @() net.hvp(p, complex(V, 1), X, Y),        'veltn:badType', ''
    'jacobian: complex X',     @() net.jacobian(p, Xc, Y),                 'veltn:badType', ''
    'sparse X',                @() net.outputs(p, sparse(X)),              'veltn:badType', ''
    'sparse V',                @() net.jvp(p, sparse(V), X, Y),            'veltn:badType', ''
    'single Y',                @() net.gradient(p, X, single(Y)),          'veltn:badType', ''
    'int32 p',                 @() net.objective(int32(p), X, Y),          'veltn:badType', ''
    'logical U',               @() net.vjp(p, true(7, 2), X, Y),           'veltn:badType', ''
    'char X',                  @() net.outputs(p, 'abc'),                  'veltn:badType', ''
    '3-d X',                   @() net.outputs(p, ones(7, 3, 2)),          'veltn:badType', ''
    'NaN in X',                @() net.gradient(p, Xn, Y),                 'veltn:fpe', 'X holds NaN or infinity'
    'Inf in Y',                @() net.objective(p, X, Yi),                'veltn:fpe', ''
    'NaN in V',                @() net.hvp(p, Vn, X, Y),                   'veltn:fpe', ''
    'NaN in p',                @() net.gradient(pn, X, Y),                 'veltn:fpe', ''
    'jacobian: NaN in X',      @() net.jacobian(p, Xn, Y),                 'veltn:fpe', ''
    'gnvp: NaN in V',          @() net.gnvp(p, Vn, X, Y),                  'veltn:fpe', ''
    'no norm',                 @() nonorm.objective(p, X, Y),              'veltn:error', ''
    'released handle',         @() gone.gradient(p, X, Y),                 'veltn:badHandle', ''
    'forged: a number',        @() veltn_mex('gradient', uint64(12345), p, X, Y), 'veltn:badHandle', ''
    'forged: a struct',        @() veltn_mex('gradient', struct('Handle', uint64(1)), p, X, Y), 'veltn:badHandle', ''
    'forged: a double',        @() veltn_mex('outputs', 1, p, X),          'veltn:badHandle', ''
    'refused description',     @() veltn.Network('3 1 1 1 16 3 softplus sum'), 'veltn:error', ...
                               'invalid network data: field 3 (nlayers)'
    'description not text',    @() veltn.Network(42),                      'veltn:badType', ''
    'Threads 0',               @() veltn.Network(desc, 'Threads', 0),      'veltn:badArgument', ''
    'Batch 1.5',               @() veltn.Network(desc, 'Batch', 1.5),      'veltn:badArgument', ''
    'unknown option',          @() veltn.Network(desc, 'Rows', 3),         'veltn:badArgument', ''
    'unknown command',         @() veltn_mex('nothing'),                   'veltn:badArgument', ''
    'wrong argument count',    @() veltn_mex('outputs', net, p),           'veltn:badArgument', ''
  };
  for i = 1:size(cases, 1)
    check_error(cases{i, 2}, cases{i, 3}, cases{i, 1}, cases{i, 4});
  end
  check_close(net.outputs(p, X), forward_m(p, X), 1e-14, 'outputs after the failures');
end
function test_handles()
  [net, p, X, Y] = small_problem();
  base = veltn_mex('live');
  copy = net;                       % a handle: both name one network
  F = net.outputs(p, X);
  clear net
  check(isequal(copy.outputs(p, X), F), 'a copy works after the original variable is cleared');
  check(veltn_mex('live') == base, 'clearing one copy released the network');
  delete(copy);
  check(veltn_mex('live') == base - 1, 'delete did not release the network');
  check_error(@() copy.outputs(p, X), 'veltn:badHandle', 'a deleted network');
  % Saving: Octave loads a plain struct, whose fields do not name a live network.
  net = veltn.Network('3 2 2 1 32 3 4 atan sum_sq');
  file = [tempname(), '.mat'];
  ws = warning('off', 'all'); save('-v7', file, 'net'); s = load(file); warning(ws); delete(file);
  check(~isa(s.net, 'veltn.Network'), 'a loaded network is a %s', class(s.net));
  if isstruct(s.net) && isfield(s.net, 'Handle')
    check_error(@() veltn_mex('outputs', s.net, p, X), 'veltn:badHandle', 'the loaded struct');
    check_error(@() veltn_mex('outputs', s.net.Handle, p, X), 'veltn:badHandle', 'the loaded struct''s Handle field');
  end
  check_error(@() veltn.Network(s.net), 'veltn:badType', 'a network from the loaded struct');
  check(isequal(net.outputs(p, X), F), 'the original after save and load');
  % Unloading the MEX file releases every network; the objects then refuse calls, and new ones
  % work. (Octave's `clear mex` only clears a variable named mex; `clear veltn_mex` unloads.)
  others = veltn.Network('2 1 2 1 32 2 3 atan sum_sq');
  check(veltn_mex('live') >= 2, 'two live networks expected');
  clear veltn_mex
  check(veltn_mex('live') == 0, 'clear veltn_mex left %d networks', veltn_mex('live'));
  check_error(@() net.outputs(p, X), 'veltn:badHandle', 'a network after clear veltn_mex');
  check_error(@() others.objective(zeros(13, 1), ones(3, 2), ones(3, 1)), 'veltn:badHandle', 'a second one');
  fresh = veltn.Network('3 2 2 1 32 3 4 atan sum_sq');
  check(isequal(fresh.outputs(p, X), F), 'a network built after clear veltn_mex');
  clear net others
  check(veltn_mex('live') == 1, 'deleting networks from before the unload touched the registry');
  clear functions
  check(veltn_mex('live') == 0, 'clear functions left %d networks', veltn_mex('live'));
  check_error(@() fresh.outputs(p, X), 'veltn:badHandle', 'a network after clear functions');
  % The message handler was restored and set again: lines still arrive after a reload.
  out = evalc('veltn.Network(''2 1 2 1 32 2 3 atan nosuch'');');
  check(~isempty(strfind(out, 'invalid norm function name: nosuch')), 'printed after reload: %s', out);
end
% A standard-error line becomes a warning veltn:message, a standard-output line is printed.
function test_messages()
  lastwarn('');
  out = evalc('net = veltn.Network(''2 1 2 1 32 2 3 nosuch sum_sq'');');
  [msg, id] = lastwarn();
  check(strcmp(id, 'veltn:message') && ~isempty(strfind(msg, 'unknown activation "nosuch"')), 'warning %s: %s', id, msg);
  check(~isempty(strfind(out, 'unknown activation')), 'the warning was not shown: %s', out);
  out = evalc('veltn.Network(''2 1 2 1 32 2 3 atan nosuch'');');
  check(~isempty(strfind(out, 'invalid norm function name: nosuch')), 'printed: %s', out);
  setenv('NN_TRACE', '1');
  out = evalc('net.jvp(zeros(13, 1), ones(13, 2), [1, 1; 2, 2], [1; 2]);');
  unsetenv('NN_TRACE');
  check(~isempty(regexp(out, 'J = [-0-9.e]+, [-0-9.e]+ s', 'once')), 'NN_TRACE line: %s', out);
  lastwarn('');
  check_error(@() net.objective(zeros(13, 1), [NaN, 1], 1), 'veltn:fpe', 'NaN in X');
  check(isempty(lastwarn()), 'the failure was also a warning: %s', lastwarn());
  % A warning turned into an error leaves no lines for the next call, and no network.
  live = veltn_mex('live');
  ws = warning('error', 'veltn:message');
  check_error(@() veltn.Network('2 1 2 1 32 2 3 nosuch sum_sq'), 'veltn:message', 'warning as error', 'nosuch');
  warning(ws);
  check(veltn_mex('live') == live, 'the refused network is still registered');
  lastwarn('');
  net.objective(zeros(13, 1), [1, 1], 1);
  check(isempty(lastwarn()), 'a stale line came out of a later call: %s', lastwarn());
end
function test_problem()
  [net, p, X, Y, V] = small_problem();
  prob = veltn.problem(net, X, Y);
  [J, g, Hinfo] = prob.objective(p);
  [J0, g0] = net.gradient(p, X, Y);
  check(J == J0 && isequal(g, g0) && isequal(Hinfo, p), 'objective with gradient');
  check(prob.objective(p) == J0, 'objective alone');
  [~, gr] = prob.objective(p.');
  check(isequal(gr, g0.'), 'the gradient takes the shape of p');
  check(isequal(prob.hessmult(Hinfo, V), net.hvp(p, V, X, Y)), 'hessmult');
  check(isequal(prob.hessian(p), net.hessian(p, X, Y)), 'hessian');
  check_error(@() veltn.problem(net, X, Y(1:3, :)), 'veltn:badShape', 'problem with mismatched Y');
  check_error(@() veltn.problem(struct(), X, Y), 'veltn:badHandle', 'problem without a network');
end
% The README's regression on sum_sq: fminunc reaches a gradient 1e-6 times the starting one.
function test_fminunc()
  [a, b] = meshgrid(linspace(-2, 2, 8));
  X = [a(:), b(:)];
  Y = 0.8 * sin(X(:, 1)) .* cos(0.5 * X(:, 2));
  net = veltn.Network('2 1 2 1 32 2 3 atan sum_sq');
  prob = veltn.problem(net, X, Y);
  p0 = 0.5 * sin(1:net.NParams).';
  [~, g0] = prob.objective(p0);
  opts = optimset('GradObj', 'on', 'TolFun', 1e-20, 'TolX', 1e-20, 'MaxIter', 3000, 'MaxFunEvals', 20000);
  [p, f] = fminunc(prob.objective, p0, opts);
  [~, g] = prob.objective(p);
  check(norm(g) < 1e-6 * norm(g0), 'gradient norm %g after fminunc, %g at the start', norm(g), norm(g0));
  check(f < net.objective(p0, X, Y), 'fminunc did not lower the objective');
end
% Enough rows for several blocks of the gateway's scratch (2^20 values): 600 rows x 4 outputs
% x 1304 parameters. Checked through products of the library's other routes.
function test_jacobian()
  big = veltn.Network('8 4 2 1 32 8 100 atan sum_pseudo_huber');
  pb = 0.3 * sin(0.7 * (1:big.NParams)).';
  Xb = reshape(sin(0.013 * (1:600 * 8)), 600, 8);
  Yb = reshape(cos(0.021 * (1:600 * 4)), 600, 4);
  Ub = reshape(sin(0.37 * (1:2400 * 2)), 2400, 2);
  [JB, tb] = big.jacobian(pb, Xb, Yb);
  check(isequal(size(JB), [2400, big.NParams]), 'jacobian size %s', mat2str(size(JB)));
  check(isequal(tb, big.terms(pb, Xb, Yb)), 'terms of the blocked jacobian');
  check_close(JB.' * Ub, big.vjp(pb, Ub, Xb, Yb), 1e-12, 'blocked jacobian against vjp');
  [~, gb] = big.gradient(pb, Xb, Yb);
  check_close(mean(JB, 1).', gb, 1e-12, 'mean of the jacobian''s rows against the gradient');
end
% G V = Jo' * Jo * V / (R*nout) on sum_sq, with Jo the Jacobian of the outputs (that of "sum").
function test_gauss_newton()
  [net, p, X, Y, V] = small_problem();
  Jo = veltn.Network('3 2 2 1 32 3 4 atan sum').jacobian(p, X, Y);
  [GV, J, g] = net.gnvp(p, V, X, Y);
  check_close(GV, Jo.' * Jo * V / numel(Y), 1e-13, 'gnvp (26 x 3) against Jo''*Jo*V/E');
  [J0, g0] = net.gradient(p, X, Y);
  check(abs(J - J0) <= 1e-15 * abs(J0) && max(abs(g - g0)) <= 1e-14, 'gnvp''s objective and gradient');
  Yz = net.outputs(p, X);
  check_close(net.gnvp(p, V, X, Yz), net.hvp(p, V, X, Yz), 1e-12, 'gnvp = hvp at zero residuals');
  prob = veltn.problem(net, X, Y);
  check(isequal(prob.gnmult(p, V), GV), 'problem.gnmult');
end
function test_least_squares_pair()
  [~, p, X, Y] = small_problem();
  net = veltn.Network('3 2 2 1 32 3 4 atan sum');
  prob = veltn.problem(net, X, Y);
  lastwarn('');
  [r, JAC] = prob.residuals(p);
  check(isempty(lastwarn()), 'a warning on the norm sum: %s', lastwarn());
  R = net.residuals(p, X, Y);
  check(isequal(r, R(:)) && isequal(prob.residuals(p), R(:)), 'residuals are terms(:) = (F - Y)(:)');
  check(isequal(JAC, net.jacobian(p, X, Y)), 'the pair''s Jacobian');
  step = -(JAC.' * JAC + 1e-3 * eye(net.NParams)) \ (JAC.' * r);
  check(sum(prob.residuals(p + step) .^ 2) < sum(r .^ 2), 'a Gauss-Newton step did not lower |r|^2');
  sq = veltn.problem(veltn.Network('3 2 2 1 32 3 4 atan sum_sq'), X, Y);
  lastwarn('');
  evalc('r2 = sq.residuals(p);');
  [msg, id] = lastwarn();
  check(strcmp(id, 'veltn:norm') && ~isempty(strfind(msg, '"sum"')), 'warning on sum_sq: %s %s', id, msg);
  check_close(r2, R(:) .^ 2 / 2, 1e-15, 'the sum_sq pair gives its terms');
  lastwarn('');
  sq.residuals(p);
  check(isempty(lastwarn()), 'the norm warning came twice');
end
