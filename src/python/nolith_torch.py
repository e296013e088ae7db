"""PyTorch autograd for nolith's winding numbers.

    import torch, nolith_module
    from nolith_torch import winding_numbers

    points.requires_grad_(); normals.requires_grad_()
    engine = nolith_module.NolithEngine(points.detach(), normals.detach())
    w = winding_numbers(engine, queries, points=points, normals=normals)
    loss = ((w - target) ** 2).mean()
    loss.backward()        # points.grad, normals.grad

An engine is built once from fixed geometry; `winding_numbers` ties its
result to the tensors the engine was built from, so that gradients reach
them: `points` and `normals` for a point cloud, `triangles` (N, 3, 3) for a
soup, `vertices` (M, 3) for an indexed mesh. In an optimisation loop, build a
new engine from the updated tensors at every step. The backward pass repeats
the query (the engine's gradients follow its most recent query call) and
calls grad_points / grad_scaled_normals. The queries get no gradient.
"""

import torch

__all__ = ["winding_numbers"]


def _stream():
    return torch.cuda.current_stream().cuda_stream if torch.cuda.is_available() else 0


def _query(engine, queries, method, beta, epsilon):
    if method == "compute":
        return torch.from_dlpack(engine.compute(queries, beta, epsilon, _stream()))
    if method == "brute_force":
        return torch.from_dlpack(engine.brute_force(queries, epsilon, _stream()))
    raise ValueError(f"method must be 'compute' or 'brute_force', not {method!r}")


class _WindingNumbers(torch.autograd.Function):
    @staticmethod
    def forward(ctx, engine, queries, method, beta, epsilon, positions, normals):
        ctx.engine, ctx.method, ctx.beta, ctx.epsilon = engine, method, beta, epsilon
        ctx.save_for_backward(queries)
        ctx.shapes = (None if positions is None else positions.shape, None if normals is None else normals.shape)
        return _query(engine, queries, method, beta, epsilon).clone()

    @staticmethod
    def backward(ctx, grad_w):
        (queries,) = ctx.saved_tensors
        engine = ctx.engine
        _query(engine, queries, ctx.method, ctx.beta, ctx.epsilon)  # the query the gradients follow
        grad_w = grad_w.contiguous().to(torch.float32)
        grad_positions = grad_normals = None
        if ctx.needs_input_grad[5]:
            grad_positions = torch.from_dlpack(engine.grad_points(grad_w)).reshape(ctx.shapes[0]).clone()
        if ctx.needs_input_grad[6]:
            grad_normals = torch.from_dlpack(engine.grad_scaled_normals(grad_w)).reshape(ctx.shapes[1]).clone()
        return None, None, None, None, None, grad_positions, grad_normals


def winding_numbers(engine, queries, *, points=None, normals=None, triangles=None, vertices=None,
                    method="compute", beta=-1.0, epsilon=-1.0):
    """Winding numbers of `engine` at `queries` ((Q, 3) float32), differentiable
    with respect to the geometry tensors the engine was built from."""
    given = [t for t in (points, triangles, vertices) if t is not None]
    if len(given) > 1:
        raise ValueError("pass one of points, triangles or vertices: the tensor the engine was built from")
    positions = given[0] if given else None
    return _WindingNumbers.apply(engine, queries.detach().contiguous(), method, float(beta), float(epsilon),
                                 positions, normals)
