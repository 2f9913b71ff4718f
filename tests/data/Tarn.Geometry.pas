{ Tarn.Geometry: points, rectangles and shapes for the floor planner.

  Shapes are stored as tagged records so that a plan can be written to disk
  as one block; helpers add the arithmetic. }
unit Tarn.Geometry;

{$POINTERMATH ON}

interface

uses
  System.Math,
  System.Types;

const
  Epsilon = 1E-9;
  MaxVertices = 64;

type
  TFloat = Double;

  TPointF = record
    X, Y: TFloat;
    constructor Create(AX, AY: TFloat);
    class operator Add(const A, B: TPointF): TPointF;
    class operator Subtract(const A, B: TPointF): TPointF;
    class operator Multiply(const A: TPointF; Factor: TFloat): TPointF;
    class operator Equal(const A, B: TPointF): Boolean;
    class operator NotEqual(const A, B: TPointF): Boolean; inline;
    class function Zero: TPointF; static;
  end;

  PPointF = ^TPointF;

  TPointFHelper = record helper for TPointF
    function Length: TFloat;
    function Distance(const Other: TPointF): TFloat;
    function Normalized: TPointF;
    function ToString: string;
  end;

  TRectF = packed record
    case Integer of
      0: (Left, Top, Right, Bottom: TFloat);
      1: (TopLeft, BottomRight: TPointF);
  end;

  TRectFHelper = record helper for TRectF
  private
    function GetWidth: TFloat;
    function GetHeight: TFloat;
  public
    function Contains(const P: TPointF): Boolean;
    function Intersects(const Other: TRectF): Boolean;
    function Center: TPointF;
    property Width: TFloat read GetWidth;
    property Height: TFloat read GetHeight;
  end;

  TShapeKind = (skPoint, skCircle, skRect, skPolygon, skText);

  TVertexArray = array[0..MaxVertices - 1] of TPointF;

  { One shape of a plan. The fields after the tag depend on the kind; a
    polygon keeps its vertices inline. }
  TShape = record
    Id: Cardinal;
    Layer: Byte;
    Color: Cardinal;
    case Kind: TShapeKind of
      skPoint: (Position: TPointF);
      skCircle: (Center: TPointF; Radius: TFloat);
      skRect: (Bounds: TRectF; CornerRadius: TFloat);
      skPolygon: (
        VertexCount: Integer;
        Vertices: TVertexArray);
      skText: (
        Origin: TPointF;
        case Anchored: Boolean of
          True: (AnchorId: Cardinal);
          False: (Angle: TFloat; FontSize: Word));
  end;
  PShape = ^TShape;

  TShapeHelper = record helper for TShape
    function Area: TFloat;
    function BoundingBox: TRectF;
    function Describe: string;
  end;

  TIntegerHelper = record helper for Integer
    function IsEven: Boolean; inline;
    function Clamp(Low, High: Integer): Integer;
  end;

  TTransform = record
  private
    FMatrix: array[0..2, 0..2] of TFloat;
  public
    class function Identity: TTransform; static;
    class function Translation(DX, DY: TFloat): TTransform; static;
    class function Rotation(Angle: TFloat): TTransform; static;
    class operator Multiply(const A, B: TTransform): TTransform;
    function Apply(const P: TPointF): TPointF;
  end;

function ShapeArea(const Shape: TShape): TFloat;
function SameFloat(A, B: TFloat): Boolean; inline;

implementation

uses
  System.SysUtils;

function SameFloat(A, B: TFloat): Boolean;
begin
  Result := Abs(A - B) <= Epsilon;
end;

function ShapeArea(const Shape: TShape): TFloat;
begin
  Result := Shape.Area;
end;

{ TPointF }

constructor TPointF.Create(AX, AY: TFloat);
begin
  X := AX;
  Y := AY;
end;

class operator TPointF.Add(const A, B: TPointF): TPointF;
begin
  Result.X := A.X + B.X;
  Result.Y := A.Y + B.Y;
end;

class operator TPointF.Subtract(const A, B: TPointF): TPointF;
begin
  Result.X := A.X - B.X;
  Result.Y := A.Y - B.Y;
end;

class operator TPointF.Multiply(const A: TPointF; Factor: TFloat): TPointF;
begin
  Result.X := A.X * Factor;
  Result.Y := A.Y * Factor;
end;

class operator TPointF.Equal(const A, B: TPointF): Boolean;
begin
  Result := SameFloat(A.X, B.X) and SameFloat(A.Y, B.Y);
end;

class operator TPointF.NotEqual(const A, B: TPointF): Boolean;
begin
  Result := not (A = B);
end;

class function TPointF.Zero: TPointF;
begin
  Result := TPointF.Create(0, 0);
end;

{ TPointFHelper }

function TPointFHelper.Length: TFloat;
begin
  Result := Sqrt(Sqr(X) + Sqr(Y));
end;

function TPointFHelper.Distance(const Other: TPointF): TFloat;
begin
  Result := (Other - Self).Length;
end;

function TPointFHelper.Normalized: TPointF;
var
  L: TFloat;
begin
  L := Length;
  if SameFloat(L, 0) then
    Result := TPointF.Zero
  else
    Result := Self * (1 / L);
end;

function TPointFHelper.ToString: string;
begin
  Result := Format('(%g, %g)', [X, Y]);
end;

{ TRectFHelper }

function TRectFHelper.GetWidth: TFloat;
begin
  Result := Right - Left;
end;

function TRectFHelper.GetHeight: TFloat;
begin
  Result := Bottom - Top;
end;

function TRectFHelper.Contains(const P: TPointF): Boolean;
begin
  Result := (P.X >= Left) and (Right >= P.X) and (P.Y >= Top) and (Bottom >= P.Y);
end;

function TRectFHelper.Intersects(const Other: TRectF): Boolean;
begin
  Result := not ((Other.Left > Right) or (Left > Other.Right) or
    (Other.Top > Bottom) or (Top > Other.Bottom));
end;

function TRectFHelper.Center: TPointF;
begin
  Result := TPointF.Create((Left + Right) / 2, (Top + Bottom) / 2);
end;

{ TShapeHelper }

function TShapeHelper.Area: TFloat;
var
  I, J: Integer;
begin
  case Kind of
    skPoint, skText:
      Result := 0;
    skCircle:
      Result := Pi * Radius * Radius;
    skRect:
      Result := Bounds.Width * Bounds.Height;
    skPolygon:
      begin
        Result := 0;
        J := VertexCount - 1;
        for I := 0 to VertexCount - 1 do
        begin
          Result := Result + (Vertices[J].X + Vertices[I].X) * (Vertices[J].Y - Vertices[I].Y);
          J := I;
        end;
        Result := Abs(Result) / 2;
      end;
  else
    Result := NaN;
  end;
end;

function TShapeHelper.BoundingBox: TRectF;
var
  I: Integer;
begin
  case Kind of
    skCircle:
      begin
        Result.Left := Center.X - Radius;
        Result.Top := Center.Y - Radius;
        Result.Right := Center.X + Radius;
        Result.Bottom := Center.Y + Radius;
      end;
    skRect:
      Result := Bounds;
    skPolygon:
      begin
        Result.TopLeft := Vertices[0];
        Result.BottomRight := Vertices[0];
        for I := 1 to VertexCount - 1 do
        begin
          Result.Left := Min(Result.Left, Vertices[I].X);
          Result.Top := Min(Result.Top, Vertices[I].Y);
          Result.Right := Max(Result.Right, Vertices[I].X);
          Result.Bottom := Max(Result.Bottom, Vertices[I].Y);
        end;
      end;
  else
    Result.TopLeft := Position;
    Result.BottomRight := Position;
  end;
end;

function TShapeHelper.Describe: string;
const
  KindNames: array[TShapeKind] of string = ('point', 'circle', 'rect', 'polygon', 'text');
begin
  Result := Format('%s #%d on layer %d', [KindNames[Kind], Id, Layer]);
end;

{ TIntegerHelper }

function TIntegerHelper.IsEven: Boolean;
begin
  Result := not Odd(Self);
end;

function TIntegerHelper.Clamp(Low, High: Integer): Integer;
begin
  if Self < Low then
    Result := Low
  else if Self > High then
    Result := High
  else
    Result := Self;
end;

{ TTransform }

class function TTransform.Identity: TTransform;
var
  I, J: Integer;
begin
  for I := 0 to 2 do
    for J := 0 to 2 do
      Result.FMatrix[I, J] := Ord(I = J);
end;

class function TTransform.Translation(DX, DY: TFloat): TTransform;
begin
  Result := Identity;
  Result.FMatrix[0, 2] := DX;
  Result.FMatrix[1, 2] := DY;
end;

class function TTransform.Rotation(Angle: TFloat): TTransform;
var
  S, C: TFloat;
begin
  SinCos(Angle, S, C);
  Result := Identity;
  Result.FMatrix[0, 0] := C;
  Result.FMatrix[0, 1] := -S;
  Result.FMatrix[1, 0] := S;
  Result.FMatrix[1, 1] := C;
end;

class operator TTransform.Multiply(const A, B: TTransform): TTransform;
var
  I, J, K: Integer;
  Sum: TFloat;
begin
  for I := 0 to 2 do
    for J := 0 to 2 do
    begin
      Sum := 0;
      for K := 0 to 2 do
        Sum := Sum + A.FMatrix[I, K] * B.FMatrix[K, J];
      Result.FMatrix[I, J] := Sum;
    end;
end;

function TTransform.Apply(const P: TPointF): TPointF;
begin
  Result.X := FMatrix[0, 0] * P.X + FMatrix[0, 1] * P.Y + FMatrix[0, 2];
  Result.Y := FMatrix[1, 0] * P.X + FMatrix[1, 1] * P.Y + FMatrix[1, 2];
end;

end.
