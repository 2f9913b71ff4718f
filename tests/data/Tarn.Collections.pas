{ Tarn.Collections: small generic containers used across the shop tools.

  A growable list, an owning object list, a sorted list with a pluggable
  comparer, a first-in first-out queue and a string-keyed dictionary. }
unit Tarn.Collections;

{$SCOPEDENUMS ON}

interface

uses
  System.SysUtils,
  System.Generics.Defaults;

const
  DefaultCapacity = 16;
  GrowthFactor = 2;

type
  ECollectionError = class(Exception);

  TCollectionNotification = (Added, Removed, Extracted);

  TCollectionNotifyEvent<T> = procedure(Sender: TObject; const Item: T;
    Action: TCollectionNotification) of object;

  IEnumerator<T> = interface
    ['{8A7C5E10-2B44-4D2E-9F1A-6C3B2D1E0F99}']
    function GetCurrent: T;
    function MoveNext: Boolean;
    property Current: T read GetCurrent;
  end;

  IEnumerable<T> = interface
    ['{3C2E9B71-5D86-4F0A-A1C4-7E8D9F0A1B2C}']
    function GetEnumerator: IEnumerator<T>;
  end;

  { A list of values with amortised constant-time appends. }
  TTarnList<T> = class(TInterfacedObject, IEnumerable<T>)
  public type
    TEnumerator = class(TInterfacedObject, IEnumerator<T>)
    private
      FList: TTarnList<T>;
      FIndex: Integer;
      function GetCurrent: T;
    public
      constructor Create(AList: TTarnList<T>);
      function MoveNext: Boolean;
      property Current: T read GetCurrent;
    end;
  private
    FItems: array of T;
    FCount: Integer;
    FOnNotify: TCollectionNotifyEvent<T>;
    const MinGrow = 4;
    function GetItem(Index: Integer): T;
    procedure SetItem(Index: Integer; const Value: T);
    function GetCapacity: Integer;
    procedure SetCapacity(Value: Integer);
    procedure Grow(MinCount: Integer);
  protected
    procedure Notify(const Item: T; Action: TCollectionNotification); virtual;
  public
    constructor Create; overload;
    constructor Create(ACapacity: Integer); overload;
    destructor Destroy; override;
    function Add(const Value: T): Integer;
    procedure Insert(Index: Integer; const Value: T);
    procedure Delete(Index: Integer);
    procedure Clear; virtual;
    function IndexOf(const Value: T): Integer;
    function GetEnumerator: IEnumerator<T>;
    property Capacity: Integer read GetCapacity write SetCapacity;
    property Count: Integer read FCount;
    property Items[Index: Integer]: T read GetItem write SetItem; default;
    property OnNotify: TCollectionNotifyEvent<T> read FOnNotify write FOnNotify;
  end;

  { Owns its objects: removing an item frees it unless it is extracted. }
  TTarnObjectList<T: class> = class(TTarnList<T>)
  private
    FOwnsObjects: Boolean;
  protected
    procedure Notify(const Item: T; Action: TCollectionNotification); override;
  public
    constructor Create(AOwnsObjects: Boolean = True); overload;
    function Extract(const Value: T): T;
    property OwnsObjects: Boolean read FOwnsObjects write FOwnsObjects;
  end;

  { Keeps its items in the order the comparer gives. }
  TTarnSortedList<T> = class(TTarnList<T>)
  private
    FComparer: IComparer<T>;
    FDuplicates: Boolean;
  public
    constructor Create(const AComparer: IComparer<T>);
    function Add(const Value: T): Integer; reintroduce;
    function Find(const Value: T; out Index: Integer): Boolean;
    property Comparer: IComparer<T> read FComparer;
    property Duplicates: Boolean read FDuplicates write FDuplicates default False;
  end;

  TTarnQueue<T> = class
  strict private
    FItems: TTarnList<T>;
    FHead: Integer;
  public
    constructor Create;
    destructor Destroy; override;
    procedure Enqueue(const Value: T); inline;
    function Dequeue: T;
    function Peek: T;
    function Count: Integer;
  end;

  TPair<TKey, TValue> = record
    Key: TKey;
    Value: TValue;
    constructor Create(const AKey: TKey; const AValue: TValue);
  end;

  TTarnDictionary<TValue: record> = class
  private
    FKeys: TTarnSortedList<string>;
    FValues: TTarnList<TValue>;
    function GetValue(const Key: string): TValue;
    procedure SetValue(const Key: string; const Value: TValue);
  public
    constructor Create;
    destructor Destroy; override;
    function TryGetValue(const Key: string; out Value: TValue): Boolean;
    function ContainsKey(const Key: string): Boolean;
    procedure Remove(const Key: string);
    property Values[const Key: string]: TValue read GetValue write SetValue; default;
  end;

  TTarnFactory<T: class, constructor> = class
  public
    class function New: T; static;
    class function NewList(Count: Integer): TTarnObjectList<T>; static;
  end;

function CompareText(const Left, Right: string): Integer;

implementation

function CompareText(const Left, Right: string): Integer;
begin
  Result := System.SysUtils.CompareText(Left, Right);
end;

{ TTarnList<T>.TEnumerator }

constructor TTarnList<T>.TEnumerator.Create(AList: TTarnList<T>);
begin
  inherited Create;
  FList := AList;
  FIndex := -1;
end;

function TTarnList<T>.TEnumerator.GetCurrent: T;
begin
  Result := FList.FItems[FIndex];
end;

function TTarnList<T>.TEnumerator.MoveNext: Boolean;
begin
  Inc(FIndex);
  Result := FList.Count > FIndex;
end;

{ TTarnList<T> }

constructor TTarnList<T>.Create;
begin
  Create(DefaultCapacity);
end;

constructor TTarnList<T>.Create(ACapacity: Integer);
begin
  inherited Create;
  SetLength(FItems, ACapacity);
end;

destructor TTarnList<T>.Destroy;
begin
  Clear;
  inherited;
end;

function TTarnList<T>.GetItem(Index: Integer): T;
begin
  if (Index < 0) or (Index >= FCount) then
    raise ECollectionError.CreateFmt('Index %d out of bounds', [Index]);
  Result := FItems[Index];
end;

procedure TTarnList<T>.SetItem(Index: Integer; const Value: T);
var
  Old: T;
begin
  Old := GetItem(Index);
  FItems[Index] := Value;
  Notify(Old, TCollectionNotification.Removed);
  Notify(Value, TCollectionNotification.Added);
end;

function TTarnList<T>.GetCapacity: Integer;
begin
  Result := Length(FItems);
end;

procedure TTarnList<T>.SetCapacity(Value: Integer);
begin
  if Value < FCount then
    Value := FCount;
  SetLength(FItems, Value);
end;

procedure TTarnList<T>.Grow(MinCount: Integer);
var
  NewCapacity: Integer;
begin
  NewCapacity := Length(FItems) * GrowthFactor;
  if NewCapacity < MinGrow then
    NewCapacity := MinGrow;
  while NewCapacity < MinCount do
    NewCapacity := NewCapacity * GrowthFactor;
  SetCapacity(NewCapacity);
end;

procedure TTarnList<T>.Notify(const Item: T; Action: TCollectionNotification);
begin
  if Assigned(FOnNotify) then
    FOnNotify(Self, Item, Action);
end;

function TTarnList<T>.Add(const Value: T): Integer;
begin
  if FCount = Length(FItems) then
    Grow(FCount + 1);
  FItems[FCount] := Value;
  Result := FCount;
  Inc(FCount);
  Notify(Value, TCollectionNotification.Added);
end;

procedure TTarnList<T>.Insert(Index: Integer; const Value: T);
var
  I: Integer;
begin
  if FCount = Length(FItems) then
    Grow(FCount + 1);
  for I := FCount downto Index + 1 do
    FItems[I] := FItems[I - 1];
  FItems[Index] := Value;
  Inc(FCount);
  Notify(Value, TCollectionNotification.Added);
end;

procedure TTarnList<T>.Delete(Index: Integer);
var
  Old: T;
  I: Integer;
begin
  Old := GetItem(Index);
  for I := Index to FCount - 2 do
    FItems[I] := FItems[I + 1];
  Dec(FCount);
  FItems[FCount] := Default(T);
  Notify(Old, TCollectionNotification.Removed);
end;

procedure TTarnList<T>.Clear;
begin
  while FCount > 0 do
    Delete(FCount - 1);
end;

function TTarnList<T>.IndexOf(const Value: T): Integer;
var
  Comparer: IEqualityComparer<T>;
begin
  Comparer := TEqualityComparer<T>.Default;
  for Result := 0 to FCount - 1 do
    if Comparer.Equals(FItems[Result], Value) then
      Exit;
  Result := -1;
end;

function TTarnList<T>.GetEnumerator: IEnumerator<T>;
begin
  Result := TEnumerator.Create(Self);
end;

{ TTarnObjectList<T> }

constructor TTarnObjectList<T>.Create(AOwnsObjects: Boolean);
begin
  inherited Create;
  FOwnsObjects := AOwnsObjects;
end;

procedure TTarnObjectList<T>.Notify(const Item: T; Action: TCollectionNotification);
begin
  inherited Notify(Item, Action);
  if FOwnsObjects and (Action = TCollectionNotification.Removed) then
    Item.Free;
end;

function TTarnObjectList<T>.Extract(const Value: T): T;
var
  Index: Integer;
begin
  Index := IndexOf(Value);
  if Index >= 0 then
  begin
    FOwnsObjects := False;
    try
      Delete(Index);
    finally
      FOwnsObjects := True;
    end;
    Result := Value;
  end
  else
    Result := nil;
end;

{ TTarnSortedList<T> }

constructor TTarnSortedList<T>.Create(const AComparer: IComparer<T>);
begin
  inherited Create;
  FComparer := AComparer;
  if FComparer = nil then
    FComparer := TComparer<T>.Construct(
      function(const L, R: T): Integer
      begin
        Result := 0;
      end);
end;

function TTarnSortedList<T>.Find(const Value: T; out Index: Integer): Boolean;
var
  Low, High, Mid, Cmp: Integer;
begin
  Result := False;
  Low := 0;
  High := Count - 1;
  while Low <= High do
  begin
    Mid := (Low + High) shr 1;
    Cmp := FComparer.Compare(Items[Mid], Value);
    if Cmp < 0 then
      Low := Mid + 1
    else
    begin
      High := Mid - 1;
      if Cmp = 0 then
        Result := True;
    end;
  end;
  Index := Low;
end;

function TTarnSortedList<T>.Add(const Value: T): Integer;
begin
  if Find(Value, Result) and not FDuplicates then
    raise ECollectionError.Create('Duplicate item');
  Insert(Result, Value);
end;

{ TTarnQueue<T> }

constructor TTarnQueue<T>.Create;
begin
  inherited Create;
  FItems := TTarnList<T>.Create;
end;

destructor TTarnQueue<T>.Destroy;
begin
  FItems.Free;
  inherited Destroy;
end;

procedure TTarnQueue<T>.Enqueue(const Value: T);
begin
  FItems.Add(Value);
end;

function TTarnQueue<T>.Dequeue: T;
begin
  Result := Peek;
  Inc(FHead);
  if FHead * 2 > FItems.Count then
  begin
    while FHead > 0 do
    begin
      FItems.Delete(0);
      Dec(FHead);
    end;
  end;
end;

function TTarnQueue<T>.Peek: T;
begin
  if Count = 0 then
    raise ECollectionError.Create('Queue is empty');
  Result := FItems[FHead];
end;

function TTarnQueue<T>.Count: Integer;
begin
  Result := FItems.Count - FHead;
end;

{ TPair<TKey, TValue> }

constructor TPair<TKey, TValue>.Create(const AKey: TKey; const AValue: TValue);
begin
  Key := AKey;
  Value := AValue;
end;

{ TTarnDictionary<TValue> }

constructor TTarnDictionary<TValue>.Create;
begin
  inherited Create;
  FKeys := TTarnSortedList<string>.Create(TComparer<string>.Default);
  FValues := TTarnList<TValue>.Create;
end;

destructor TTarnDictionary<TValue>.Destroy;
begin
  FValues.Free;
  FKeys.Free;
  inherited;
end;

function TTarnDictionary<TValue>.GetValue(const Key: string): TValue;
begin
  if not TryGetValue(Key, Result) then
    raise ECollectionError.CreateFmt('Key "%s" not found', [Key]);
end;

procedure TTarnDictionary<TValue>.SetValue(const Key: string; const Value: TValue);
var
  Index: Integer;
begin
  if FKeys.Find(Key, Index) then
    FValues[Index] := Value
  else
  begin
    FKeys.Insert(Index, Key);
    FValues.Insert(Index, Value);
  end;
end;

function TTarnDictionary<TValue>.TryGetValue(const Key: string; out Value: TValue): Boolean;
var
  Index: Integer;
begin
  Result := FKeys.Find(Key, Index);
  if Result then
    Value := FValues[Index]
  else
    Value := Default(TValue);
end;

function TTarnDictionary<TValue>.ContainsKey(const Key: string): Boolean;
var
  Index: Integer;
begin
  Result := FKeys.Find(Key, Index);
end;

procedure TTarnDictionary<TValue>.Remove(const Key: string);
var
  Index: Integer;
begin
  if FKeys.Find(Key, Index) then
  begin
    FKeys.Delete(Index);
    FValues.Delete(Index);
  end;
end;

{ TTarnFactory<T> }

class function TTarnFactory<T>.New: T;
begin
  Result := T.Create;
end;

class function TTarnFactory<T>.NewList(Count: Integer): TTarnObjectList<T>;
var
  I: Integer;
begin
  Result := TTarnObjectList<T>.Create(True);
  for I := 1 to Count do
    Result.Add(New);
end;

end.
